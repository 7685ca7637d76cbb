// VT100 screen output and the screen image.
#ifndef LB_SM_VD_H
#define LB_SM_VD_H

#include "err_lb.h"

// Size of the screen image: rows 0-39, columns 0-128.
inline constexpr std::uint16_t vd_img_rows = 40;
inline constexpr std::uint16_t vd_img_cols = 129;
// Cursor row meaning "position not known": the next move is always sent.
inline constexpr std::uint16_t vd_y_unknown = 65535;

extern char vd_op;          // screen open
extern char vd_known;       // terminal understands VT100; cleared by output while closed
extern char vd_out;         // screen output on (Ctrl-O toggles it)
extern char vd_auto_lf;     // writing past the last column goes on at the next row
extern char vd_raw;         // control characters are written as spaces, not acted on
extern char vd_dbg;         // trace screen operations to the debug trail
extern std::uint16_t vd_y, vd_x;          // cursor row and column
extern std::uint16_t vd_y_mx, vd_x_mx;    // last row and column
extern std::uint16_t vd_rgn_top, vd_rgn_bot;  // scrolling region
extern std::uint16_t vd_scroll_cnt;       // line feeds written
// Display attribute: bits 0-2 foreground, 3 bold, 4-6 background, 7 blink.
extern char vd_att;
extern char vd_img_c[vd_img_rows][vd_img_cols];  // character of each cell
extern char vd_img_a[vd_img_rows][vd_img_cols];  // attribute of each cell
extern const char* vd_img_fl;                    // "vdimg.tmp"

extern const char* vt_esc_intro;     // ESC [
extern const char* vt_esc_up;        // ESC [ A
extern const char* vt_esc_dwn;       // ESC [ B
extern const char* vt_esc_rgt;       // ESC [ C
extern const char* vt_esc_lft;       // ESC [ D
extern const char* vt_esc_revlf;     // ESC M: reverse line feed
extern const char* vt_esc_clr_scr;   // ESC [ J: clear to the end of the screen
extern const char* vt_esc_clr_ln;    // ESC [ K: clear to the end of the line
extern const char* vt_esc_kpad_on;   // ESC =
extern const char* vt_esc_kpad_off;  // ESC >
extern const char* cr_lf;            // "\r\n"

// Opens the screen and the keyboard; the cursor goes to column 0 of the last row.
void VD_OP();
// Closes both, leaving the cursor on a fresh last line; a pending error stays pending.
void VD_CL();

void B_VD(char ch);
void S_VD(const char* text);
void SM_VD_list(const char* const* texts, std::size_t n);
template <typename... T>
void SM_VD(const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_VD takes texts only");
    const char* texts[] = {first, rest...};
    SM_VD_list(texts, sizeof...(T) + 1);
}
// Makes attr the current attribute, reduced to normal, bold, blink and reverse video.
void A_VD(char attr);
void YX_VD(std::uint16_t row, std::uint16_t column);
// Moves the terminal cursor (row 65535: to the screen's current position); force sends
// the move even when the cursor is thought to be there already.
void YX_TCRS(std::uint16_t row, std::uint16_t column, char force);
void RGN_VD(std::uint16_t top, std::uint16_t bottom);
// Scrolls rows top to bottom up by count (down for a negative count), screen and image.
void VD_SCROLL(std::int16_t top, std::int16_t bottom, std::int16_t count);
void IMG_SCROLL(std::int16_t top, std::int16_t bottom, std::int16_t count);
// Clears (y0, x0) to (y1, x1) in reading order; 65535: cursor row, cursor column, y0, last
// column.
void VD_CLR(std::uint16_t y0, std::uint16_t x0, std::uint16_t y1, std::uint16_t x1);
// Clears from (row, column) to the right edge down to last_row (65535: row), then moves there.
void YX_VD_CLR(std::uint16_t row, std::uint16_t column, std::uint16_t last_row);
// Copies a row of the image (vd_x_mx + 1 cells, then a zero byte) into the given buffers.
void VDI_S(std::uint16_t row, char* chars, char* attrs);
// Writes the image's characters to "img<N>.tmp", N = 0, 1, 2... per process.
void VDI_FL();
// Saves the image to vd_img_fl / loads it from there and redraws the screen.
void VDI_SV();
void SV_VDI();
void VD_IMG_DSP(std::uint16_t first_row, std::uint16_t last_row);
char VD_AUTO_LF(char on);
// Raw bytes to the terminal, only while the screen is open.
void B_VD_SYS(char ch);
void S_VD_SYS(const char* text);
// 1 and "<rtn>:VD unknown" raised when the terminal is not known.
char VD_KNOWN_ERR(const char* rtn);

#endif
