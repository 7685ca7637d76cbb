// Directory listing into a list file (one line per entry, laid out by option letters), and
// the squeezing of columns that are blank in every line of such a file.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "rm_trl.h"
#include "s_ech.h"
#include "s_mt.h"

std::uint32_t dir_file_age_secs = 0;
char dir_file_remove_extra_spaces = 1;

namespace {

constexpr char default_options[] = "d t s F";
constexpr char all_pattern[] = "*";
constexpr char date_sample[] = "01/01/2003";
constexpr char time_sample[] = "01:00A";
constexpr char dir_column[] = "       <DIR>";
constexpr char link_arrow[] = " -> ";
constexpr std::size_t link_target_mxsz = 256;
constexpr int id_column_width = 32;
// Levels below the top that recursion enters: each holds a directory stream open, and a
// bind-mount loop would otherwise never end.
constexpr std::uint16_t depth_mx = 256;

constexpr std::size_t squeeze_cols = 512;
constexpr char squeeze_work[] = "file_remove_extra_spaces.tmp";

const char* nz(const char* text) { return text ? text : ""; }

// What one top-level call sets up and its levels share.
struct Listing {
    bool busy = false;
    std::uint32_t flcnt = 0;  // kept after the call: the result while an error is pending
    FLDF* wfp = nullptr;
    char* dir0 = nullptr;
    char* fspec0 = nullptr;  // top-level pattern, null for "*"
    const char* listfile = nullptr;
    bool list_id = false;  // the list file's identity is known
    dev_t list_dev = 0;
    ino_t list_ino = 0;
    const char* options = nullptr;
    char hidden = 0;
    char recurse = 0;
    char dirs = 0;
    // The line under construction, reused from entry to entry.
    char* line = nullptr;
    std::uint32_t line_cap = 0;
    std::uint32_t line_len = 0;
    // Last owner and group looked up, already in their 32-column form.
    bool uid_known = false;
    uid_t uid = 0;
    char owner[id_column_width + 1] = {};
    bool gid_known = false;
    gid_t gid = 0;
    char group[id_column_width + 1] = {};
};

Listing ls;

bool tracing() { return dbg_ > 2; }

// Appends n bytes to the line; past the library's string limit the line overflows.
void line_put(const char* text, std::size_t n) {
    if (err_) return;
    const std::size_t need = ls.line_len + n + 1;
    if (need > lb_s_mxsz + 1) {
        S_ERR("String overflow");
        return;
    }
    if (need > ls.line_cap) {
        std::uint32_t cap = ls.line_cap ? ls.line_cap : 256;
        while (cap < need) cap *= 2;
        char* grown = MEM_REAL(ls.line, cap);
        if (err_) return;
        ls.line = grown;
        ls.line_cap = cap;
    }
    std::memcpy(ls.line + ls.line_len, text, n);
    ls.line_len += static_cast<std::uint32_t>(n);
    ls.line[ls.line_len] = '\0';
}

void line_put(const char* text) { line_put(text, std::strlen(text)); }

// A name in exactly 32 columns, cut or padded; an id without a name right-aligned.
void id_column(char* out, const char* name, std::uint32_t id) {
    if (name) std::snprintf(out, id_column_width + 1, "%-*.*s", id_column_width, id_column_width, name);
    else std::snprintf(out, id_column_width + 1, "% *" PRId64, id_column_width, static_cast<std::int64_t>(id));
}

const char* owner_column(uid_t uid) {
    if (!ls.uid_known || ls.uid != uid) {
        const passwd* pw = ::getpwuid(uid);
        id_column(ls.owner, pw ? pw->pw_name : nullptr, uid);
        ls.uid = uid;
        ls.uid_known = true;
    }
    return ls.owner;
}

const char* group_column(gid_t gid) {
    if (!ls.gid_known || ls.gid != gid) {
        const group* gr = ::getgrgid(gid);
        id_column(ls.group, gr ? gr->gr_name : nullptr, gid);
        ls.gid = gid;
        ls.gid_known = true;
    }
    return ls.group;
}

// Modification time in local time; all fields unknown when it has no local form.
UTMDF local_mtime(std::time_t t) {
    UTMDF utm{};
    if (!fl_local_utm(t, utm)) utm = UTMDF{65535, 255, 255, 255, 255, 255, 255, 0};
    return utm;
}

// The link's target, or the text of the error that reading it gave.
void link_target(const char* path, char* out) {
    const ssize_t n = ::readlink(path, out, link_target_mxsz);
    if (n >= 0) {
        out[n] = '\0';
        // The target stays on its entry's line.
        for (char* c = out; (c = std::strpbrk(c, "\r\n")) != nullptr;) *c = '?';
        return;
    }
    out[0] = '\0';
    OS_ERR("readlink", nullptr, 0);
    const char* why = ERR_S();
    if (why && std::strlen(why) <= link_target_mxsz) std::strcpy(out, why);
}

void permissions(char* out, mode_t mode) {
    static const mode_t bits[9] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                                   S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    out[0] = S_ISLNK(mode) ? 'l' : '-';
    for (int i = 0; i < 9; ++i) out[i + 1] = (mode & bits[i]) ? "rwx"[i % 3] : '-';
    out[10] = '\0';
}

// Writes the list-file line of one entry; path is the scan directory and the name.
void write_entry(const char* path, const char* name, const struct stat& fst, const UTMDF& utm) {
    ls.line_len = 0;
    line_put("", 0);
    char target[link_target_mxsz + 1] = {};
    const bool link = S_ISLNK(fst.st_mode);
    if (link && std::strchr(ls.options, 'l')) link_target(path, target);
    char num[48];
    for (const char* o = ls.options; *o && !err_; ++o) {
        switch (*o) {
        case 'F': line_put(path); break;
        case 'f': line_put(name); break;
        case 'l':
            if (link) {
                line_put(link_arrow);
                line_put(target);
            }
            break;
        case 'd': line_put(nz(TM_S(&utm, date_sample))); break;
        case 't': line_put(nz(TM_S(&utm, time_sample))); break;
        case 's':
            if (S_ISDIR(fst.st_mode)) {
                line_put(dir_column);
            } else {
                std::snprintf(num, sizeof num, "% 12" PRId64, static_cast<std::int64_t>(fst.st_size));
                line_put(num);
            }
            break;
        case 'T':
            std::snprintf(num, sizeof num, "%10" PRId64, static_cast<std::int64_t>(fst.st_mtime));
            line_put(num);
            break;
        case 'o': line_put(owner_column(fst.st_uid)); break;
        case 'g': line_put(group_column(fst.st_gid)); break;
        case 'm':
            permissions(num, fst.st_mode);
            line_put(num);
            break;
        default: line_put(o, 1); break;
        }
    }
    S_FL(ls.wfp, ls.line);
}

class DirStream {
public:
    explicit DirStream(const char* dir) : d_(::opendir(dir)) {}
    ~DirStream() {
        if (d_) ::closedir(d_);
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    DIR* get() const { return d_; }

private:
    DIR* d_;
};

void trace_split(const char* label, const char* dir, const char* pattern) {
    if (tracing()) SM_DBG("DIR_FILE", label, "dir=", dir, " fspec=", pattern, nullptr);
}

// Lists one directory level. At the top level (depth 0) the pattern of the split is handed
// back for the not-found message.
void list_level(const char* fspec, std::uint16_t depth, LbOwned* top_pattern) {
    static const char rtn[] = "DIR_FILE";
    if (err_) return;
    if (depth > 0 && tracing()) SM_DBG(rtn, ":0:fspec=", nz(fspec), nullptr);

    // Which directory to scan, and for what.
    LbOwned dir;
    LbOwned pattern;
    if (!fspec || !*fspec) {
        dir.reset(S_CP(ls.dir0));
        pattern.reset(S_CP(all_pattern));
        trace_split(":2:", nz(dir.get()), all_pattern);
    } else if (S_MT(fspec, "..", 0, 1, 0, 0) || S_MT(fspec, "../", 0, 1, 0, 0)) {
        const char* slash = std::strrchr(ls.dir0, dir_dlm);
        // The root keeps its "/": "/home" stays "/home".
        const std::size_t keep = slash && slash != ls.dir0 ? static_cast<std::size_t>(slash - ls.dir0)
                                                            : std::strlen(ls.dir0);
        dir.reset(S_X(ls.dir0, 0, static_cast<std::uint32_t>(keep)));
        pattern.reset(S_CP(all_pattern));
        trace_split(":3:", nz(dir.get()), all_pattern);
    } else if (std::strcmp(fspec, "./") == 0) {
        dir.reset(S_CP(ls.dir0));
        pattern.reset(S_CP(all_pattern));
        trace_split(":4:", nz(dir.get()), all_pattern);
    } else if (!std::strchr(fspec, '*') && DIR_OK(fspec, 0)) {
        dir.reset(S_CP(fspec));
        pattern.reset(S_CP(all_pattern));
        trace_split(":5:", fspec, all_pattern);
    } else if (const char* part = FSPEC_DIR(fspec, 1)) {
        dir.reset(S_CP(part));
        pattern.reset(S_CP(FSPEC_FNAM(fspec)));
        if (tracing()) trace_split(":6:", nz(S_ECH(dir.get())), nz(pattern.get()));
    } else {
        dir.reset(S_CP(ls.dir0));
        pattern.reset(S_CP(fspec));
        trace_split(":7:", nz(dir.get()), fspec);
    }
    if (RTN_ERR(rtn)) return;

    std::size_t dir_len = std::strlen(dir.get());
    if (dir_len == 0 || dir.get()[dir_len - 1] != dir_dlm) {
        dir.ref() = S_A(dir.ref(), dir_dlms);
        if (RTN_ERR(rtn)) return;
        ++dir_len;
        if (tracing()) SM_DBG(rtn, ":8:dir=", dir.get(), nullptr);
    }
    if (depth == 0) {
        if (std::strcmp(pattern.get(), all_pattern) != 0) {
            ls.fspec0 = S_CP(pattern.get());
            if (RTN_ERR(rtn)) return;
            if (tracing()) SM_DBG(rtn, ":9:fspec0=", ls.fspec0, nullptr);
        }
        top_pattern->reset(S_CP(pattern.get()));
        if (RTN_ERR(rtn)) return;
    }

    // An unreadable directory lists nothing, silently.
    DirStream stream(dir.get());
    if (!stream.get()) return;
    // Scan directory and entry name; names are at most NAME_MAX bytes.
    LbOwned path(MEM_AL(static_cast<std::uint32_t>(dir_len + NAME_MAX + 2)));
    if (RTN_ERR(rtn)) return;
    std::memcpy(path.get(), dir.get(), dir_len);

    while (!err_) {
        const dirent* ent = ::readdir(stream.get());
        if (!ent) break;
        const char* name = ent->d_name;
        if (tracing()) SM_DBG(rtn, ":10:d_name=", name, nullptr);
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        const std::size_t name_len = std::strlen(name);
        // A line end inside a name would split its line and make the list name other files.
        if (name_len > NAME_MAX || std::strpbrk(name, "\r\n")) continue;
        std::memcpy(path.get() + dir_len, name, name_len + 1);

        // Hidden and unreadable entries are neither listed nor descended into.
        if (name[0] == '.' && !ls.hidden) {
            if (tracing()) SM_DBG(rtn, ":13:proc=0", nullptr);
            continue;
        }
        struct stat fst {};
        if (::lstat(path.get(), &fst) != 0) {
            if (tracing()) SM_DBG(rtn, ":14:proc=0", nullptr);
            continue;
        }
        const bool is_dir = S_ISDIR(fst.st_mode);

        bool listed = true;
        // The list file never lists itself: by the name it was given, or by identity when
        // it was named with a directory.
        if (ls.listfile && (S_MT(name, ls.listfile, 0, 1, 0, 0) ||
                            (ls.list_id && fst.st_dev == ls.list_dev && fst.st_ino == ls.list_ino))) {
            if (tracing()) SM_DBG(rtn, ":15:proc=0", nullptr);
            listed = false;
        }
        if (listed && ls.fspec0 && !S_MT(name, ls.fspec0, 0, 1, 0, '*')) {
            if (tracing()) SM_DBG(rtn, ":16:fspec0=", ls.fspec0, nullptr);
            if (tracing()) SM_DBG(rtn, ":16:proc=0", nullptr);
            listed = false;
        }
        if (listed && is_dir && ls.dirs == 0) {
            if (tracing()) SM_DBG(rtn, ":17:proc=0", nullptr);
            listed = false;
        }
        if (listed && !is_dir && ls.dirs == 2) {
            if (tracing()) SM_DBG(rtn, ":18:proc=0", nullptr);
            listed = false;
        }
        if (listed) {
            const UTMDF utm = local_mtime(fst.st_mtime);
            if (dir_file_age_secs && EL_SECS_UTM(&utm, nullptr) > static_cast<std::int64_t>(dir_file_age_secs))
                listed = false;
            if (listed && ls.wfp) write_entry(path.get(), name, fst, utm);
        }
        if (listed) ++ls.flcnt;

        if (ls.recurse && is_dir && !err_ && depth < depth_mx) {
            LbOwned sub(SM_CP(path.get(), dir_dlms, pattern.get(), nullptr));
            if (RTN_ERR(rtn)) return;
            list_level(sub.get(), static_cast<std::uint16_t>(depth + 1), nullptr);
        }
    }
    RTN_ERR(rtn);
}

// Releases what a top-level call set up, on every path.
class ListingScope {
public:
    ListingScope() { ls.busy = true; }
    ~ListingScope() {
        if (ls.wfp) ls.wfp = FL_CL(ls.wfp, 1);
        MEM_FR(&ls.dir0);
        MEM_FR(&ls.fspec0);
        MEM_FR(&ls.line);
        ls.line_cap = 0;
        ls.line_len = 0;
        ls.uid_known = false;
        ls.gid_known = false;
        ls.listfile = nullptr;
        ls.list_id = false;
        ls.busy = false;
    }
    ListingScope(const ListingScope&) = delete;
    ListingScope& operator=(const ListingScope&) = delete;
};

}  // namespace

std::uint32_t DIR_FILE(const char* fspec, char hidden, char recurse, const char* options,
                       char dirs, const char* listfile, char wtc, char nf_err) {
    static const char rtn[] = "DIR_FILE";
    if (err_) return ls.flcnt;
    if (tracing()) SM_DBG(rtn, ":0:fspec=", nz(fspec), nullptr);
    if (ls.busy) {
        SM_ERR(rtn, ":busy", nullptr);
        return 0;
    }
    ls.flcnt = 0;
    LbOwned pattern;
    {
        ListingScope scope;
        ls.options = options ? options : default_options;
        ls.hidden = hidden;
        ls.recurse = recurse;
        ls.dirs = dirs;
        ls.listfile = listfile;
        if (listfile) {
            ls.wfp = FL_OP(listfile, wtc, 2, 0, nullptr);
            if (RTN_ERR(rtn)) return 0;
            struct stat st {};
            if (::fstat(::fileno(ls.wfp->fp), &st) == 0) {
                ls.list_id = true;
                ls.list_dev = st.st_dev;
                ls.list_ino = st.st_ino;
            }
        }
        ls.dir0 = S_CP(CUR_DIR(nullptr));
        if (RTN_ERR(rtn)) return 0;
        if (tracing()) SM_DBG(rtn, ":1:dir0=", ls.dir0, nullptr);

        list_level(fspec, 0, &pattern);
    }  // the list file is closed here, also while an error is pending
    if (RTN_ERR(rtn)) return ls.flcnt;

    if (ls.flcnt == 0 && nf_err) SM_ERR("\"", nz(pattern.get()), "\" not found", nullptr);
    if (ls.flcnt > 0 && listfile && dir_file_remove_extra_spaces) {
        FILE_REMOVE_EXTRA_SPACES(listfile);
        RTN_ERR(rtn);
    }
    return ls.flcnt;
}

std::uint32_t FILE_CNT(const char* fspec, char recurse, char nf_err) {
    return DIR_FILE(fspec, 0, recurse, "f", 0, nullptr, 1, nf_err);
}

void FILE_REMOVE_EXTRA_SPACES(const char* fnam) {
    static const char rtn[] = "FILE_REMOVE_EXTRA_SPACES";
    if (err_) return;
    // blank[c]: column c holds a space in every non-empty line that reaches it.
    LbOwned blank(MEM_AL(squeeze_cols));
    if (RTN_ERR(rtn)) return;
    std::memset(blank.get(), 1, squeeze_cols);
    // The work file goes beside the file, so that the move is a rename and the current
    // directory need not be writable.
    const char* where = fnam ? FSPEC_DIR(fnam, 1) : nullptr;
    LbOwned work(SM_CP(nz(where), squeeze_work, nullptr));
    if (RTN_ERR(rtn)) return;

    bool written = false;
    if (FLDF* rd = FL_OP(fnam, 0, 2, 0, nullptr)) {
        while (const char* ln = FL_S(rd, 0)) {
            for (std::size_t c = 0; ln[c] && c < squeeze_cols; ++c)
                if (ln[c] != ' ') blank.get()[c] = 0;
        }
        P_FL(rd, 0);
        FLDF* wr = err_ ? nullptr : FL_OP(work.get(), 1, 2, 0, nullptr);
        if (wr) {
            const char* b = blank.get();
            while (char* ln = FL_S(rd, 0)) {
                const std::size_t n = RM_TRL(ln);
                // A run of all-blank columns keeps its first column only.
                std::size_t out = 0;
                for (std::size_t c = 0; c < n; ++c) {
                    if (c > 0 && c < squeeze_cols && b[c - 1] && b[c]) continue;
                    ln[out++] = ln[c];
                }
                ln[out] = '\0';
                S_FL(wr, ln);
                if (err_) break;
            }
            FL_CL(wr, 1);
            written = true;
        }
        FL_CL(rd, 1);
    }
    if (!err_) FILE_MV(work.get(), fnam);
    if (written) FILE_DL(work.get(), 0);
    RTN_ERR(rtn);
}
