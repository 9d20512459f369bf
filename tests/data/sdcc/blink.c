/* Runs a light pattern on port 1 of an 8051: each step shows the next entry of a table in code
   memory, counts the steps on port 2 and toggles P3.4, then waits in a busy loop. */

#include <8051.h>

static const __code unsigned char pattern[] = {
    0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, /* run up */
    0x40, 0x20, 0x10, 0x08, 0x04, 0x02,             /* and back */
    0x81, 0x42, 0x24, 0x18, 0x24, 0x42,             /* close and open */
};

#define STEPS (sizeof pattern / sizeof pattern[0])

static void delay(unsigned int outer)
{
    while (outer--) {
        unsigned char inner = 250;
        while (--inner)
            __asm__("nop");
    }
}

void main(void)
{
    unsigned char step = 0;
    unsigned char count = 0;

    for (;;) {
        P1 = pattern[step];
        P2 = count++;
        P3_4 = !P3_4;
        delay(200);
        if (++step == STEPS)
            step = 0;
    }
}
