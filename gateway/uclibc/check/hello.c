/* The smallest C program, and the width of time_t it was built with. */
#include <stdio.h>
#include <time.h>

int main(void)
{
    printf("hello, %u-byte time_t\n", (unsigned)sizeof(time_t));
    return 0;
}
