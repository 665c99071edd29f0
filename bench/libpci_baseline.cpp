// The least a libpci program does before it can touch a device: set libpci up and scan the bus.
// Its peak memory is the baseline the tool's own is compared with. It is linked with the same
// libraries as orvex, so both load the same shared objects.
extern "C" {
#include <pci/pci.h>
}

int main()
{
    pci_access *a = pci_alloc();
    pci_init(a);
    pci_scan_bus(a);
    return a->devices ? 0 : 1;
}
