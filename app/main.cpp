// SPDX-License-Identifier: MIT
#include "app/app.h"

int main(int argc, char **argv)
{
    return orvex_main(argc, argv);
}
