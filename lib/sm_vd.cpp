// Screen output with VT100 sequences, a shadow image of every cell, and the image's files.
#include "sm_vd.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "mem_lb.h"
#include "vd_lnx.h"

char vd_op = 0;
char vd_known = 1;
char vd_out = 1;
char vd_auto_lf = 1;
char vd_raw = 0;
char vd_dbg = 0;
std::uint16_t vd_y = 0, vd_x = 0;
std::uint16_t vd_y_mx = 24, vd_x_mx = 127;
std::uint16_t vd_rgn_top = 0, vd_rgn_bot = 24;
std::uint16_t vd_scroll_cnt = 0;
char vd_att = 7;
char vd_img_c[vd_img_rows][vd_img_cols];
char vd_img_a[vd_img_rows][vd_img_cols];
const char* vd_img_fl = "vdimg.tmp";

const char* vt_esc_intro = "\x1b[";
const char* vt_esc_up = "\x1b[A";
const char* vt_esc_dwn = "\x1b[B";
const char* vt_esc_rgt = "\x1b[C";
const char* vt_esc_lft = "\x1b[D";
const char* vt_esc_revlf = "\x1bM";
const char* vt_esc_clr_scr = "\x1b[J";
const char* vt_esc_clr_ln = "\x1b[K";
const char* vt_esc_kpad_on = "\x1b=";
const char* vt_esc_kpad_off = "\x1b>";
const char* cr_lf = "\r\n";

namespace {

constexpr int term_fd = 0;  // the terminal is reached through standard input's descriptor
constexpr unsigned tab_w = 8;
constexpr unsigned char att_normal = 7;
constexpr unsigned char att_fg = 0x07, att_bold = 0x08, att_bg = 0x70, att_blink = 0x80;

// ---- Output ----
//
// Bytes are gathered and written once per library call rather than one system call per
// byte; the outermost routine writes them out before it returns.

enum class Dest { none, terminal, stdout_ };

char out_bf[4096];
std::size_t out_n = 0;
Dest out_dest = Dest::none;
int out_depth = 0;

void flush_out() {
    if (out_n == 0) return;
    if (out_dest == Dest::terminal) {
        for (std::size_t done = 0; done < out_n;) {
            const ssize_t n = write(term_fd, out_bf + done, out_n - done);
            if (n <= 0) break;  // terminal write errors are ignored
            done += static_cast<std::size_t>(n);
        }
    } else {
        std::fwrite(out_bf, 1, out_n, stdout);
        std::fflush(stdout);
    }
    out_n = 0;
}

class Batch {
public:
    Batch() { ++out_depth; }
    ~Batch() {
        if (--out_depth == 0) flush_out();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
};

bool known() { return vd_op && vd_known; }

void emit(const char* p, std::size_t n) {
    const Dest dest = known() ? Dest::terminal : Dest::stdout_;
    if (dest != out_dest) flush_out();
    out_dest = dest;
    while (n > 0) {
        if (out_n == sizeof out_bf) flush_out();
        const std::size_t k = std::min(n, sizeof out_bf - out_n);
        std::memcpy(out_bf + out_n, p, k);
        out_n += k;
        p += k;
        n -= k;
    }
    if (out_depth == 0) flush_out();
}
void emit(const char* s) { emit(s, std::strlen(s)); }
void emit(char c) { emit(&c, 1); }
void emit_n(char c, std::size_t n) {
    for (; n > 0; --n) emit(c);
}

// ---- Where the terminal's own cursor is ----
//
// Raw output, line feeds and region changes can leave it away from (vd_y, vd_x); a move is
// sent whenever the two may differ.

bool t_ok = false;
int t_y = 0, t_x = 0;

int last_row() { return vd_y_mx; }
int last_col() { return vd_x_mx; }

void trace(const char* rtn, std::int32_t a, std::int32_t b) {
    if (!vd_dbg) return;
    SM_DBG(rtn, ":", V_S10(a, nullptr, 0), ",", V_S10(b, nullptr, 0), nullptr);
}

void send_move(int y, int x) {
    char seq[32];
    std::snprintf(seq, sizeof seq, "%s%d;%dH", vt_esc_intro, y + 1, x + 1);
    emit(seq);
    vd_y = static_cast<std::uint16_t>(y);
    vd_x = static_cast<std::uint16_t>(x);
    t_ok = true;
    t_y = y;
    t_x = x;
}

// Moves the terminal cursor to the screen's position unless it is there already.
void sync_cursor() {
    if (vd_y > vd_y_mx) return;
    if (!(t_ok && t_y == vd_y && t_x == vd_x)) send_move(vd_y, vd_x);
}

void send_region(int top, int bot) {
    char seq[32];
    std::snprintf(seq, sizeof seq, "%s%d;%dr", vt_esc_intro, top + 1, bot + 1);
    emit(seq);
    vd_rgn_top = static_cast<std::uint16_t>(top);
    vd_rgn_bot = static_cast<std::uint16_t>(bot);
    t_ok = false;  // a VT100 homes the cursor when the region is set
}

bool img_cell(int y, int x) { return y >= 0 && y < vd_img_rows && x >= 0 && x < vd_img_cols; }

void img_fill_row(int y) {
    std::memset(vd_img_c[y], ' ', vd_img_cols);
    std::memset(vd_img_a[y], vd_att, vd_img_cols);
}

unsigned char normal_att(unsigned char a) {
    if (a & att_bg) return static_cast<unsigned char>((a & (att_bold | att_blink)) | att_bg);
    if ((a & att_fg) < att_normal) return static_cast<unsigned char>((a & ~att_fg) | att_normal);
    return a;
}

// Band that scrolls when the cursor goes below the last row: the rows under the region, or
// the region itself when it reaches the last row.
void scroll_below_last(int count) {
    if (vd_rgn_bot < vd_y_mx)
        VD_SCROLL(static_cast<std::int16_t>(vd_rgn_bot + 1), static_cast<std::int16_t>(vd_y_mx),
                  static_cast<std::int16_t>(count));
    else
        VD_SCROLL(static_cast<std::int16_t>(vd_rgn_top), static_cast<std::int16_t>(vd_rgn_bot),
                  static_cast<std::int16_t>(count));
}

// Row after one line feed from row y on a known terminal, scrolling where rows run out.
int row_after_lf(int y) {
    const int top = vd_rgn_top, bot = vd_rgn_bot, ny = y + 1;
    if (top > 0 && y < top && ny >= top) {
        VD_SCROLL(0, static_cast<std::int16_t>(top - 1), 1);
        return top - 1;
    }
    if (y >= top && y <= bot && ny > bot) {
        VD_SCROLL(static_cast<std::int16_t>(top), static_cast<std::int16_t>(bot), 1);
        return bot;
    }
    if (ny > last_row()) {
        scroll_below_last(1);
        return last_row();
    }
    return ny;
}

// Unknown terminal: a row beyond the last is brought back by writing line feeds.
void plain_rows_down(int n) {
    const int ny = vd_y + n;
    if (ny > last_row()) {
        emit_n('\n', static_cast<std::size_t>(ny - last_row()));
        vd_x = 0;
        vd_y = vd_y_mx;
    } else {
        vd_y = static_cast<std::uint16_t>(ny);
    }
}

void b_vd(unsigned char c);

// Acts on a control character; false when it is to be written as a space instead.
bool control(unsigned char c) {
    const bool kn = known();
    switch (c) {
    case 0:
        return true;
    case 7:
        flush_out();  // the bell must not overtake what was written before it
        ATT_SND(1);
        return true;
    case 8:
        if (vd_x == 0) return true;
        if (kn) {
            YX_VD(vd_y, static_cast<std::uint16_t>(vd_x - 1));
        } else {
            emit('\b');
            --vd_x;
        }
        return true;
    case 9:
        for (unsigned i = 0; i < tab_w && (vd_x + 1) % tab_w != 0 && !err_; ++i) b_vd(' ');
        return true;
    case 10:
        ++vd_scroll_cnt;
        if (kn) {
            const int y = row_after_lf(vd_y);
            YX_VD(static_cast<std::uint16_t>(y), vd_x);
        } else {
            // Plain output: the line feed starts a new line, as on a teletype.
            emit('\n');
            vd_x = 0;
            if (vd_y < vd_y_mx) ++vd_y;
        }
        return true;
    case 11:
    case 12:
        if (kn) {
            emit(static_cast<char>(c));
            t_ok = false;
            int y = vd_y;
            for (int i = 0; i < 3; ++i) y = row_after_lf(y);
            vd_y = static_cast<std::uint16_t>(y);
            sync_cursor();
        } else {
            plain_rows_down(3);
        }
        return true;
    case 13:
        emit('\r');
        vd_x = 0;
        if (t_ok) t_x = 0;
        return true;
    default:
        return false;
    }
}

void b_vd(unsigned char c) {
    if (err_ || !vd_out) return;
    if (!vd_op) vd_known = 0;
    if (known() && vd_y > vd_y_mx) {
        vd_y = vd_y_mx;  // position lost: take the last row, as on opening
        t_ok = false;
    }
    if (!vd_raw && c < 32 && control(c)) return;
    if (c < 32) c = ' ';
    if (!known()) {
        emit(static_cast<char>(c));
        if (++vd_x > vd_x_mx) {
            emit(cr_lf);
            vd_x = 0;
            vd_y = vd_y_mx;
        }
        return;
    }
    A_VD(vd_att);
    sync_cursor();
    emit(static_cast<char>(c));
    if (img_cell(vd_y, vd_x)) {
        vd_img_c[vd_y][vd_x] = static_cast<char>(c);
        vd_img_a[vd_y][vd_x] = vd_att;
    }
    if (vd_x < vd_x_mx) {
        ++vd_x;
        ++t_x;
        return;
    }
    // Past the last column: a VT100 holds the cursor there until the next character, so
    // the position is sent anew.
    t_ok = false;
    vd_x = 0;
    int y = vd_y;
    if (vd_auto_lf) {
        ++vd_scroll_cnt;
        y = row_after_lf(vd_y);
    }
    YX_VD(static_cast<std::uint16_t>(y), 0);
}

}  // namespace

void VD_OP() {
    static const char rtn[] = "VD_OP";
    if (vd_op) VD_CL();
    if (err_) return;
    trace(rtn, vd_y_mx, vd_x_mx);
    vd_out = 1;
    vd_att = att_normal;
    vd_x = 0;
    vd_rgn_top = 0;
    vd_rgn_bot = vd_y_mx;
    std::memset(vd_img_c, 0, sizeof vd_img_c);
    std::memset(vd_img_a, 0, sizeof vd_img_a);
    KB_OP();
    if (RTN_ERR(rtn)) return;
    vd_op = 1;
    t_ok = false;
    vd_y = vd_y_unknown;
    YX_VD(vd_y_mx, 0);
}

void VD_CL() {
    if (!vd_op) return;
    PSH_ERR();
    {
        Batch batch;
        A_VD(att_normal);
        if (vd_known && (vd_rgn_top != 0 || vd_rgn_bot != vd_y_mx)) RGN_VD(0, vd_y_mx);
        YX_VD(vd_y_mx, 0);
        S_VD_SYS(cr_lf);
    }
    KB_CL();
    vd_op = 0;
    t_ok = false;
    POP_ERR();
}

void B_VD(char ch) {
    if (err_ || !vd_out) return;
    trace("B_VD", static_cast<unsigned char>(ch), 0);
    Batch batch;
    b_vd(static_cast<unsigned char>(ch));
}

void S_VD(const char* text) {
    if (err_ || !vd_out || !text) return;
    Batch batch;
    for (; *text && !err_; ++text) b_vd(static_cast<unsigned char>(*text));
}

void SM_VD_list(const char* const* texts, std::size_t n) {
    if (err_) return;
    Batch batch;
    for (std::size_t i = 0; i < n && i < lb_list_mxc && texts[i] && !err_; ++i) S_VD(texts[i]);
}

void A_VD(char attr) {
    if (err_ || !vd_out || !known()) return;
    const unsigned char want = normal_att(static_cast<unsigned char>(attr));
    if (want == static_cast<unsigned char>(vd_att)) return;
    trace("A_VD", want, static_cast<unsigned char>(vd_att));
    Batch batch;
    unsigned char cur = normal_att(static_cast<unsigned char>(vd_att));
    const bool bold_off = (cur & att_bold) && !(want & att_bold);
    const bool blink_off = (cur & att_blink) && !(want & att_blink);
    const bool reverse_off = (cur & att_bg) && !(want & att_bg);
    if (bold_off || blink_off || reverse_off || want == att_normal) {
        emit(vt_esc_intro);
        emit("0m");
        cur = att_normal;
        vd_att = static_cast<char>(att_normal);
        if (want == att_normal) return;
    }
    // After the reduction colours are only ever reverse video, so "7;" stands for them.
    std::string params;
    if ((cur ^ want) & att_bold) params += "1;";
    if ((cur ^ want) & att_blink) params += "5;";
    if ((want & att_bg) && !(cur & att_bg)) params += "7;";
    if (!params.empty()) {
        params.back() = 'm';
        emit(vt_esc_intro);
        emit(params.c_str());
    }
    vd_att = static_cast<char>(want);
}

void YX_VD(std::uint16_t row, std::uint16_t column) {
    if (err_ || !vd_out) return;
    Batch batch;
    int y = row, x = column;
    const int width = vd_x_mx + 1;
    if (x > vd_x_mx) {
        y += x / width;
        x %= width;
    }
    if (!known()) {
        if (vd_y == y && vd_x == x) return;
        if (!vd_op) vd_known = 0;
        if (y == vd_y && x < vd_x) {
            emit_n('\b', static_cast<std::size_t>(vd_x - x));
        } else {
            emit(cr_lf);
            emit_n(' ', static_cast<std::size_t>(x));
            vd_y = vd_y_mx;
        }
        vd_x = static_cast<std::uint16_t>(x);
        return;
    }
    if (y > vd_y_mx) {
        // Rows beyond the last scroll in at the bottom; more than a screenful clears it all.
        scroll_below_last(std::min(y - last_row(), last_row() + 1));
        if (err_) return;
        y = vd_y_mx;
    }
    if (vd_y == y && vd_x == x && t_ok && t_y == y && t_x == x) return;
    trace("YX_VD", y, x);
    send_move(y, x);
}

void YX_TCRS(std::uint16_t row, std::uint16_t column, char force) {
    if (err_ || !known()) return;
    if (row == 65535) {
        row = vd_y;
        column = vd_x;
    }
    if (row > vd_y_mx || column > vd_x_mx) {
        SM_ERR("YX_TCRS", ":0", nullptr);
        return;
    }
    if (force) t_ok = false;
    YX_VD(row, column);
}

void RGN_VD(std::uint16_t top, std::uint16_t bottom) {
    static const char rtn[] = "RGN_VD";
    if (err_ || VD_KNOWN_ERR(rtn)) return;
    if (top == vd_rgn_top && bottom == vd_rgn_bot) return;
    trace(rtn, top, bottom);
    Batch batch;
    if (vd_op) {
        send_region(top, bottom);
        if (vd_y <= vd_y_mx) send_move(vd_y, vd_x);
    }
    vd_rgn_top = top;
    vd_rgn_bot = bottom;
}

void VD_SCROLL(std::int16_t top, std::int16_t bottom, std::int16_t count) {
    if (err_ || !vd_out || !known() || count == 0) return;
    if (top < 0 || top > bottom || bottom > vd_y_mx) return;
    trace("VD_SCROLL", top, count);
    Batch batch;
    const std::uint16_t y = vd_y, x = vd_x;
    const int old_top = vd_rgn_top, old_bot = vd_rgn_bot;
    const bool other_band = top != old_top || bottom != old_bot;
    // Beyond the band's height every further line feed only repeats a blank band.
    const int height = bottom - top + 1;
    const int n = std::min(count < 0 ? -count : static_cast<int>(count), height);
    if (other_band) send_region(top, bottom);
    if (count < 0) {
        send_move(top, 0);
        for (int i = 0; i < n; ++i) emit(vt_esc_revlf);
    } else {
        send_move(bottom, 0);
        emit_n('\n', static_cast<std::size_t>(n));
    }
    if (other_band) send_region(old_top, old_bot);
    vd_y = y;
    vd_x = x;
    sync_cursor();
    IMG_SCROLL(top, bottom, count);
}

void IMG_SCROLL(std::int16_t top, std::int16_t bottom, std::int16_t count) {
    if (err_ || count == 0) return;
    const int lo = std::max<int>(top, 0), hi = std::min<int>(bottom, vd_img_rows - 1);
    if (lo > hi) return;
    const auto move_row = [&](int r) {
        const int to = r - count;
        if (to >= lo && to <= hi) {
            std::memcpy(vd_img_c[to], vd_img_c[r], vd_img_cols);
            std::memcpy(vd_img_a[to], vd_img_a[r], vd_img_cols);
        }
        img_fill_row(r);
    };
    if (count > 0)
        for (int r = lo; r <= hi; ++r) move_row(r);
    else
        for (int r = hi; r >= lo; --r) move_row(r);
}

void VD_CLR(std::uint16_t y0, std::uint16_t x0, std::uint16_t y1, std::uint16_t x1) {
    if (err_ || !vd_out) return;
    int ya = y0 == 65535 ? vd_y : y0;
    int xa = x0 == 65535 ? vd_x : x0;
    int yb = y1 == 65535 ? ya : y1;
    int xb = x1 == 65535 ? vd_x_mx : x1;
    if (xa > vd_x_mx) {
        xa = 0;
        ++ya;
    }
    if (xb > vd_x_mx) {
        xb = 0;
        ++yb;
    }
    yb = std::min(yb, last_row());
    if (yb < ya || !known()) return;
    trace("VD_CLR", ya, yb);
    Batch batch;
    const std::uint16_t y = vd_y, x = vd_x;
    if (xa == 0 && yb == last_row() && xb == last_col()) {
        YX_VD(static_cast<std::uint16_t>(ya), 0);
        emit(vt_esc_clr_scr);
    } else {
        for (int r = ya; r <= yb && !err_; ++r) {
            const int from = r == ya ? xa : 0, to = r == yb ? xb : last_col();
            if (to == last_col()) {
                YX_VD(static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(from));
                emit(vt_esc_clr_ln);
                continue;
            }
            for (int c = from; c <= to && !err_; ++c) {
                if (img_cell(r, c) && vd_img_c[r][c] == ' ' && vd_img_a[r][c] == vd_att) continue;
                YX_VD(static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(c));
                b_vd(' ');
            }
        }
    }
    if (y <= vd_y_mx) YX_VD(y, x);
    for (int r = ya; r <= yb; ++r) {
        const int from = r == ya ? xa : 0, to = r == yb ? xb : last_col();
        for (int c = from; c <= to; ++c) {
            if (!img_cell(r, c)) continue;
            vd_img_c[r][c] = ' ';
            vd_img_a[r][c] = vd_att;
        }
    }
}

void YX_VD_CLR(std::uint16_t row, std::uint16_t column, std::uint16_t last_row) {
    if (err_) return;
    Batch batch;
    VD_CLR(row, column, last_row == 65535 ? row : last_row, vd_x_mx);
    YX_VD(row, column);
}

void VDI_S(std::uint16_t row, char* chars, char* attrs) {
    static const char rtn[] = "VDI_S";
    if (err_ || VD_KNOWN_ERR(rtn)) return;
    const std::size_t n = row < vd_img_rows ? std::min<std::size_t>(vd_x_mx + 1u, vd_img_cols) : 0;
    if (chars) {
        if (n) std::memcpy(chars, vd_img_c[row], n);
        chars[n] = '\0';
    }
    if (attrs) {
        if (n) std::memcpy(attrs, vd_img_a[row], n);
        attrs[n] = '\0';
    }
}

namespace {

int img_rows() { return std::min<int>(vd_y_mx + 1, vd_img_rows); }
std::size_t img_cols() { return std::min<std::size_t>(vd_x_mx + 1u, vd_img_cols); }

}  // namespace

void VDI_FL() {
    static const char rtn[] = "VDI_FL";
    static std::uint32_t next_n = 0;
    if (err_) return;
    const char* number = V_S10(static_cast<std::int32_t>(next_n++), nullptr, 0);
    const char* fnam = UT_SM_CP("img", number, ".tmp", nullptr);
    if (RTN_ERR(rtn)) return;
    FLDF fd;
    FL_OP(fnam, 1, 0, 0, &fd);
    if (RTN_ERR(rtn)) return;
    char line[vd_img_cols + 1];
    for (int r = 0; r < img_rows() && !err_; ++r) {
        std::size_t n = img_cols();
        for (std::size_t c = 0; c < n; ++c) line[c] = vd_img_c[r][c] ? vd_img_c[r][c] : ' ';
        while (n > 0 && line[n - 1] == ' ') --n;
        line[n] = '\0';
        S_FL(&fd, line);
    }
    FL_CL(&fd, 0);
    RTN_ERR(rtn);
}

void VDI_SV() {
    static const char rtn[] = "VDI_SV";
    if (err_ || VD_KNOWN_ERR(rtn)) return;
    FLDF fd;
    FL_OP(vd_img_fl, 1, 0, 0, &fd);
    if (RTN_ERR(rtn)) return;
    const auto n = static_cast<std::uint32_t>(img_cols());
    for (int r = 0; r < img_rows() && !err_; ++r) {
        BF_FL(&fd, vd_img_c[r], n);
        BF_FL(&fd, vd_img_a[r], n);
    }
    FL_CL(&fd, 0);
    RTN_ERR(rtn);
}

void SV_VDI() {
    static const char rtn[] = "SV_VDI";
    if (err_) return;
    FLDF fd;
    FL_OP(vd_img_fl, 0, 0, 0, &fd);
    if (RTN_ERR(rtn)) return;
    const auto n = static_cast<std::uint32_t>(img_cols());
    for (int r = 0; r < img_rows() && !err_; ++r) {
        FL_BF(&fd, vd_img_c[r], n, 1);
        FL_BF(&fd, vd_img_a[r], n, 1);
    }
    FL_CL(&fd, 0);
    if (RTN_ERR(rtn)) return;
    VD_IMG_DSP(0, vd_y_mx);
    RTN_ERR(rtn);
}

void VD_IMG_DSP(std::uint16_t first_row, std::uint16_t last_row) {
    static const char rtn[] = "VD_IMG_DSP";
    if (err_ || VD_KNOWN_ERR(rtn) || !vd_out || !vd_op) return;
    if (dbg_ > 10)
        SM_DBG("VD_IMG_DSP:vdy0=", V_S10(first_row, nullptr, 0), " vdy1=",
               V_S10(last_row, nullptr, 0), nullptr);
    Batch batch;
    const std::uint16_t y = vd_y, x = vd_x;
    const char att = vd_att;
    const int hi = std::min<int>(last_row, img_rows() - 1);
    for (int r = first_row; r <= hi; ++r) {
        send_move(r, 0);
        for (std::size_t c = 0; c < img_cols(); ++c) {
            A_VD(vd_img_a[r][c]);
            const unsigned char ch = static_cast<unsigned char>(vd_img_c[r][c]);
            emit(static_cast<char>(ch < 32 ? ' ' : ch));
        }
        t_ok = false;
    }
    A_VD(att);
    vd_y = y;
    vd_x = x;
    sync_cursor();
}

char VD_AUTO_LF(char on) {
    const char old = vd_auto_lf;
    vd_auto_lf = on;
    return old;
}

void B_VD_SYS(char ch) {
    if (err_ || !vd_op) return;
    emit(ch);
    t_ok = false;
}

void S_VD_SYS(const char* text) {
    if (err_ || !vd_op || !text) return;
    emit(text);
    t_ok = false;
}

char VD_KNOWN_ERR(const char* rtn) {
    if (vd_known) return 0;
    SM_ERR(rtn, ":VD unknown", nullptr);
    return 1;
}
