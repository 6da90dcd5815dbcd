// Prints a few temporary names, one a line: lets the tests look at fresh processes.
#include "tmp_name_gen/tmp_name_gen.h"

#include <cstdio>

int main()
{
    for (int i = 0; i < 4; ++i)
        printf("%s\n", TmpNameGen::getInstance().getTmpName().c_str());
    return 0;
}
