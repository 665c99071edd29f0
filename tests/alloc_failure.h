// Makes a chosen buffer allocation of the tool fail, in the child that sets it.
#pragma once

// 0: none fails; n: the n-th allocation from now on fails.
void fail_allocation(int n);
