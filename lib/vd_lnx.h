// Keyboard input on a Linux console.
#ifndef LB_VD_LNX_H
#define LB_VD_LNX_H

#include <sys/ioctl.h>  // struct termio: the short terminal settings record

#include "err_lb.h"
#include "ff1_lb.h"

// Settings of standard input before and while the keyboard is open.
extern struct termio old_setup;
extern struct termio new_setup;
extern char kb_op;        // 1 while the keyboard is open
extern FF1DF kb_tpa_ff;   // type-ahead: 40 keys unless FL_KB_TPA made it larger
// Function class of each raw input byte: 1 abort (Ctrl-C, Ctrl-K), 2 step the debug level
// (Ctrl-X), 4 screen output on/off (Ctrl-O), 5 dump the screen image (Ctrl-V), 0 a plain key.
extern char ky_fnc[256];
extern char snd_ena;      // bells are rung only while this is set

// Single-key polling that needs no open keyboard and leaves the terminal settings as found.
// kbhit answers 0 without a terminal, and in the background (touching nothing there, so
// that the terminal cannot stop the process).
int kbhit();
// The next input byte (LF given as CR), waiting for it; -1 at the end of input.
int getch();

// Open keyboard: raw mode (no signals, no echo, no line editing, reads never wait) and
// a type-ahead of decoded keys. Settings are restored by KB_CL, also at exit.
void KB_OP();
void KB_CL();
// The next raw byte, 0 when none is waiting.
char KB_B_SYS();
// Drains the terminal into the type-ahead, acting on the control keys of ky_fnc;
// 1 when a key is queued or an error is pending.
char KB_HIT();
// The next key code, 0 when none (with wait: polls every 10 ms until one arrives or an
// error arises); peek leaves it queued.
char KB_B(char wait, char peek);
char KB_KY(char wait, char peek);
// Output translation of LF to CR LF on or off.
void KB_LF_CRLF(char on);
// Replaces the type-ahead with the bytes of a file (CR LF as a single CR).
void FL_KB_TPA(const char* fnam);
// Bells: count single ones, or count double ones (100 ms apart).
void ATT_SND(std::uint16_t count);
void ERR_SND(std::uint16_t count);

#endif
