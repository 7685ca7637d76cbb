// Text files as sequences of lines: finding and fetching lines, counting, comparing files,
// replacing text in every line, removing lines and sorting.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fl_lb.h"
#include "fl_lb_own.h"
#include "fnd_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_mt.h"
#include "s_ord.h"
#include "tab_spc.h"

namespace {

constexpr char wd_rpl_wrk[] = "FILE_WD_RPL.TMP";
constexpr char txt_rpl_wrk[] = "FILE_TXT_RPL.TMP";
constexpr char s_remove_wrk[] = "file_s_remove.tmp";
constexpr char ln_remove_wrk[] = "file_ln_remove.tmp";
constexpr char redund_wrk[] = "file_redund.tmp";

constexpr std::uint32_t ln_cnt_block = 16384;
constexpr std::uint32_t cmp_block = 32768;
constexpr std::uint32_t eof_cnt = 4294967295u;

bool line_matches(const char* line, const char* pattern, char wc) {
    return S_MT(line, pattern, 0, 1, 0, wc) != 0;
}

// The first line of fnam that matches pattern: its start offset and its index. False at
// the end of the file, for a file that is not there, and on an error (given rtn's trail).
struct Found {
    const char* line = nullptr;  // the record's buffer: valid only inside visit
    std::uint32_t pos = 0;
    std::uint32_t index = 0;
};
template <typename Visit>
bool first_match(const char* rtn, const char* fnam, const char* pattern, char wc, Visit visit) {
    if (err_ || !FILE_OK(fnam, 0)) return false;
    FlRecord in(fnam, 0);
    bool hit = false;
    while (!err_) {
        Found f;
        f.pos = FL_P(in.get());
        f.line = FL_S(in.get(), 0);
        if (!f.line) break;
        if (line_matches(f.line, pattern, wc)) {
            f.index = in.get()->ln - 1;
            visit(f);
            hit = true;
            break;
        }
    }
    in.close();
    return !RTN_ERR(rtn) && hit;
}

// Copies fnam line by line to work; keep(line) gives the text to write in its place, or
// null to drop it. Stops at the first error.
template <typename Keep>
void copy_lines(const char* fnam, const char* work, Keep keep) {
    FlRecord in(fnam, 0);
    FlRecord out(work, 1);
    while (!err_) {
        const char* line = FL_S(in.get(), 0);
        if (!line) break;
        const char* text = keep(line);
        if (err_) break;
        if (text) S_FL(out.get(), text);
    }
}

// Rewrites every line through rpl (until mx lines have changed); the work file always
// replaces the file.
template <typename Replace>
std::uint16_t replace_lines(const char* rtn, const char* work, const char* fnam,
                            std::uint16_t mx, Replace rpl) {
    if (err_) return 0;
    std::uint16_t changed = 0;
    copy_lines(fnam, work, [&](const char* line) -> const char* {
        if (mx != 0 && changed >= mx) return line;
        const char* text = rpl(line);
        if (text && !S_MT(text, line, 1, 1, 0, 0)) ++changed;
        return text;
    });
    FILE_MV(work, fnam);
    FILE_DL(work, 0);
    RTN_ERR(rtn);
    return changed;
}

// Drops the first line (every one with all) for which hit(line) holds; the file is
// rewritten only when something went.
template <typename Hit>
std::int32_t remove_lines(const char* rtn, const char* work, const char* fnam, char all, Hit hit) {
    if (err_ || !FILE_OK(fnam, 0)) return 0;
    std::int32_t removed = 0;
    copy_lines(fnam, work, [&](const char* line) -> const char* {
        if ((removed == 0 || all) && hit(line)) {
            ++removed;
            return nullptr;
        }
        return line;
    });
    if (removed) FILE_MV(work, fnam);
    // Gone after a move; after a failure, not left lying in the current directory.
    FILE_DL(work, 0);
    RTN_ERR(rtn);
    return removed;
}

// The lines of a file held in memory for sorting, released on every path.
struct SortLine {
    char* text;
    std::uint32_t len;
};
class SortLines {
public:
    ~SortLines() {
        for (std::uint32_t i = 0; i < cnt_; ++i) MEM_FR(&lines_[i].text);
        MEM_FR(&lines_);
    }
    bool reserve(std::uint32_t cnt) {
        const std::uint64_t size = std::uint64_t{cnt} * sizeof(SortLine);
        if (size > 4294967295u) {
            MEM_ERR(4294967295u);
            return false;
        }
        lines_ = reinterpret_cast<SortLine*>(MEM_AL(static_cast<std::uint32_t>(size)));
        return lines_ != nullptr;
    }
    void add(char* text) {
        lines_[cnt_].text = text;
        lines_[cnt_].len = static_cast<std::uint32_t>(std::strlen(text));
        ++cnt_;
    }
    SortLine* begin() { return lines_; }
    SortLine* end() { return lines_ + cnt_; }
    std::uint32_t size() const { return cnt_; }
    // Hands one line over for release by the writer.
    char* take(std::uint32_t i) {
        char* text = lines_[i].text;
        lines_[i].text = nullptr;
        return text;
    }

private:
    SortLine* lines_ = nullptr;
    std::uint32_t cnt_ = 0;
};

// 1 when x sorts before y or equals it; from column col when both are longer than it.
char sort_ord(const SortLine& x, const SortLine& y, std::uint16_t col, char cs) {
    if (col != 0 && x.len > col && y.len > col) return S_ORD(x.text + col, y.text + col, cs);
    return S_ORD(x.text, y.text, cs);
}

void sort_lines(SortLines& lines, std::uint16_t col, char cs, char order) {
    if (col == 0 && (order == 0 || order == 1)) {
        // Whole lines under S_ORD are a total order, and lines it finds equal are the very
        // same text, so any sort gives what the exchange sort gives.
        auto before = [cs](const SortLine& x, const SortLine& y) {
            return !S_ORD(y.text, x.text, cs);
        };
        auto after = [&](const SortLine& x, const SortLine& y) { return before(y, x); };
        if (order == 0) std::sort(lines.begin(), lines.end(), before);
        else std::sort(lines.begin(), lines.end(), after);
        return;
    }
    // Comparing from a column is no total order (short lines compare whole), so the result
    // depends on the exchange sort itself.
    SortLine* a = lines.begin();
    const std::uint32_t n = lines.size();
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = i + 1; j < n; ++j)
            if (sort_ord(a[i], a[j], col, cs) == order) std::swap(a[i], a[j]);
}

}  // namespace

std::int32_t FILE_LN_P(const char* fnam, const char* pattern, char wc) {
    std::int32_t pos = -1;
    first_match("FILE_LN_P", fnam, pattern, wc,
                [&](const Found& f) { pos = static_cast<std::int32_t>(f.pos); });
    return err_ ? -1 : pos;
}

char* FILE_S(const char* fnam, const char* pattern, char wc) {
    static const char rtn[] = "FILE_S";
    char* line = nullptr;
    first_match(rtn, fnam, pattern, wc, [&](const Found& f) { line = UT_S_CP(f.line); });
    return err_ ? nullptr : line;
}

std::uint32_t FILE_LN(const char* fnam, const char* pattern, char wc) {
    std::uint32_t index = 4294967295u;
    first_match("FILE_LN", fnam, pattern, wc, [&](const Found& f) { index = f.index; });
    return err_ ? 4294967295u : index;
}

char* FILE_LN_S(const char* fnam, std::uint32_t n, char report) {
    static const char rtn[] = "FILE_LN_S";
    if (err_) return nullptr;
    if (!FILE_OK(fnam, report)) {
        RTN_ERR(rtn);
        return nullptr;
    }
    char* found = nullptr;
    {
        FlRecord in(fnam, 0);
        while (!err_) {
            const char* line = FL_S(in.get(), 0);
            if (!line) break;
            if (in.get()->ln - 1 == n) {
                found = UT_S_CP(line);
                break;
            }
        }
    }
    if (RTN_ERR(rtn)) return nullptr;
    if (!found && report) SM_ERR("Line ", Dec(n).text, " not found", nullptr);
    return found;
}

std::int32_t FILE_LN_CNT(const char* fnam, char report) {
    static const char rtn[] = "FILE_LN_CNT";
    if (err_) return 0;
    std::int32_t lines = 0;
    if (FILE_OK(fnam, report)) {
        LbOwned block(MEM_AL(ln_cnt_block + 1));
        FlRecord in(fnam, 0);
        while (!err_) {
            const std::uint32_t got = FL_BF(in.get(), block.get(), ln_cnt_block, 0);
            if (got == eof_cnt) break;
            const char* at = block.get();
            const char* end = at + got;
            while ((at = static_cast<const char*>(std::memchr(at, '\n', end - at)))) {
                ++lines;
                ++at;
            }
        }
    }
    if (!err_) return lines;
    if (report) RTN_ERR(rtn);
    else ERR_S();
    return 0;
}

char FILE_CMP(const char* fnam0, const char* fnam1, char report) {
    static const char rtn[] = "FILE_CMP";
    if (err_) return 0;
    if (!FILE_OK(fnam0, report) || !FILE_OK(fnam1, report)) {
        RTN_ERR(rtn);
        return 0;
    }
    if (S_MT(fnam0, fnam1, 0, 1, 0, 0)) return 1;
    if (FILE_SZ(fnam0, 0) != FILE_SZ(fnam1, 0)) return 0;

    char same = 0;
    {
        LbOwned block0(MEM_AL(cmp_block + 1));
        LbOwned block1(MEM_AL(cmp_block + 1));
        FlRecord in0(fnam0, 0);
        FlRecord in1(fnam1, 0);
        while (!err_) {
            const std::uint32_t got0 = FL_BF(in0.get(), block0.get(), cmp_block, 0);
            const std::uint32_t got1 = FL_BF(in1.get(), block1.get(), cmp_block, 0);
            if (err_ || got0 != got1) break;
            if (got0 == eof_cnt) {
                same = 1;
                break;
            }
            if (std::memcmp(block0.get(), block1.get(), got0) != 0) break;
        }
    }
    if (RTN_ERR(rtn)) return 0;
    return same;
}

std::uint16_t FILE_WD_RPL(const char* fnam, const char* old_s, const char* new_s, char all,
                          char group, std::uint16_t mx) {
    return replace_lines("FILE_WD_RPL", wd_rpl_wrk, fnam, mx, [&](const char* line) {
        return UT_C_WD(line, old_s, new_s, all, group);
    });
}

std::uint16_t FILE_TXT_RPL(const char* fnam, const char* old_s, const char* new_s, char all,
                           char group, std::uint16_t mx) {
    return replace_lines("FILE_TXT_RPL", txt_rpl_wrk, fnam, mx, [&](const char* line) {
        return UT_C_TXT(line, old_s, new_s, all, group);
    });
}

std::int32_t FILE_S_REMOVE(const char* fnam, const char* s, char all, char cs) {
    return remove_lines("FILE_S_REMOVE", s_remove_wrk, fnam, all, [&](const char* line) {
        return s && FND_TXT(s, line, 0, 65535, 0, cs, 0, nullptr) != 65535;
    });
}

std::int32_t FILE_LN_REMOVE(const char* fnam, const char* pattern, char all, char wc) {
    return remove_lines("FILE_LN_REMOVE", ln_remove_wrk, fnam, all,
                        [&](const char* line) { return line_matches(line, pattern, wc); });
}

std::int32_t FILE_REDUND(const char* fnam) {
    static const char rtn[] = "FILE_REDUND";
    if (err_) return 0;
    std::int32_t skipped = 0;
    LbOwned last;
    std::size_t last_cap = 0;
    bool have_last = false;
    copy_lines(fnam, redund_wrk, [&](const char* line) -> const char* {
        if (have_last && S_MT(line, last.get(), 0, 1, 0, 0)) {
            ++skipped;
            return nullptr;
        }
        // The kept line outlives the record's buffer; its copy grows only when needed.
        const std::size_t len = std::strlen(line);
        if (len + 1 > last_cap) {
            last.reset(MEM_AL(static_cast<std::uint32_t>(len + 1)));
            if (err_) return nullptr;
            last_cap = len + 1;
        }
        std::memcpy(last.get(), line, len + 1);
        have_last = true;
        return line;
    });
    if (skipped) FILE_MV(redund_wrk, fnam);
    FILE_DL(redund_wrk, 0);
    RTN_ERR(rtn);
    return skipped;
}

void FILE_SORT(const char* fnam, std::uint16_t col, char tabs, char cs, char order) {
    static const char rtn[] = "FILE_SORT";
    if (err_) return;
    std::uint32_t cnt = 0;
    char crlf = 0;
    {
        FlRecord in(fnam, 0);
        if (in.get()) crlf = static_cast<char>(in.get()->crlf);
        while (!err_ && FL_S(in.get(), 0)) ++cnt;
    }
    if (RTN_ERR(rtn)) return;

    SortLines lines;
    if (cnt > 0 && lines.reserve(cnt)) {
        FlRecord in(fnam, 0);
        while (!err_ && lines.size() < cnt) {
            const char* line = FL_S(in.get(), 0);
            if (!line) break;
            char* copy = S_CP(tabs ? TAB_SPC(line) : line);
            if (!copy) break;
            lines.add(copy);
        }
    }
    // Nothing is written unless every line is in memory: the file is not cut short.
    if (RTN_ERR(rtn)) return;
    sort_lines(lines, col, cs, order);

    // The file keeps the line end it had (FILE_CRLF's answer when it was opened above; by
    // its name when it has none): emptied by the open, it would otherwise be judged by its
    // name alone.
    FlRecord out(fnam, 1, crlf);
    for (std::uint32_t i = 0; i < lines.size() && !err_; ++i) {
        char* text = lines.take(i);
        S_FL(out.get(), text);
        MEM_FR(&text);
    }
    out.close();
    RTN_ERR(rtn);
}
