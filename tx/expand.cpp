// File-specs to files: patterns and directories through the library's lister, trees (-r)
// walked here so that the receiver can rebuild them.
#include "expand.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "failure.h"
#include "lb.h"
#include "shown.h"

namespace tx {

namespace {

// The list file of one expansion: unique to this run, gone when the expansion ends.
class ListFile {
public:
    ListFile() : path_(FILE_UNIQUE("/var/tmp", "pitchr")) {}
    ~ListFile() {
        if (path_) FILE_DL(path_, 0);
        MEM_FR(&path_);
    }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;
    const char* path() const { return path_; }

private:
    char* path_;
};

std::string last_part(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(std::string a, const std::string& b) {
    if (b.empty()) return a;
    if (a.empty()) return b;
    if (a.back() != '/') a += '/';
    return a + b;
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

wire::Attrs attrs_of(const struct stat& st) {
    return {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec), st.st_mode & 0777u};
}

// An entry of a tree: its path below the tree's top, and what stat says of it.
struct Found {
    std::string rel;
    std::uint64_t size;
    wire::Attrs attrs;
};

// Every file below the tree's top into files and every directory into dirs, with paths
// relative to the top in rel; directories descended but links to them not followed; hidden
// names only with hidden. Each entry is looked at from its directory, not from the top.
void walk(const std::string& top, const std::string& rel, bool hidden, std::vector<Found>& files,
          std::vector<Found>& dirs) {
    DIR* d = ::opendir(join(top, rel).c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (!hidden || !name[1] || (name[1] == '.' && !name[2]))) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            std::string sub = join(rel, name);
            walk(top, sub, hidden, files, dirs);
            dirs.push_back({std::move(sub), 0, attrs_of(st)});
            continue;
        }
        struct stat target {};
        if (S_ISLNK(st.st_mode) && ::fstatat(::dirfd(d), name, &target, 0) == 0) {
            if (S_ISDIR(target.st_mode)) continue;
            st = target;
        }
        files.push_back({join(rel, name), static_cast<std::uint64_t>(st.st_size), attrs_of(st)});
    }
    ::closedir(d);
}

// A tree (-r): its files in byte order of their paths, and its directories, its top
// included; the receiving directory itself is not one to make. The number of its files.
std::size_t expand_tree(const Args& args, const std::string& fspec, Listing& out) {
    std::vector<Found> files, dirs;
    walk(fspec, "", args.hidden, files, dirs);
    std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) { return a.rel < b.rel; });
    out.files.reserve(out.files.size() + files.size());
    for (const Found& f : files)
        out.files.push_back({join(fspec, f.rel), last_part(f.rel), tree_destdir(args.destdir, fspec, f.rel), f.size,
                             f.attrs});
    if (struct stat st {}; ::stat(fspec.c_str(), &st) == 0) dirs.push_back({"", 0, attrs_of(st)});
    for (const Found& d : dirs) {
        // Named as the files in it are: a file's directory line is that of a path below it.
        std::string destdir = tree_destdir(args.destdir, fspec, join(d.rel, "-"));
        if (!destdir.empty()) out.dirs.push_back({join(fspec, d.rel), "", std::move(destdir), 0, d.attrs, true});
    }
    return files.size();
}

// Deepest first (then in byte order), so that no directory is given its time before the ones
// inside it are made; a directory two trees share goes once.
void order_dirs(std::vector<Item>& dirs) {
    const auto depth = [](const Item& d) { return std::count(d.destdir.begin(), d.destdir.end(), '/'); };
    std::sort(dirs.begin(), dirs.end(), [&](const Item& a, const Item& b) {
        return depth(a) != depth(b) ? depth(a) > depth(b) : a.destdir < b.destdir;
    });
    std::set<std::string> seen;
    std::erase_if(dirs, [&](const Item& d) { return !seen.insert(d.destdir).second; });
}

// The files a pattern, a file or a directory names (one level), as the lister gives them.
bool list(const std::string& fspec, bool hidden_asked, const ListFile& lf, std::vector<std::string>& paths,
          std::string& error) {
    // A name part that begins with "." asks for hidden files, as a shell's would.
    const char hidden = hidden_asked || FSPEC_FNAM(fspec.c_str())[0] == '.' ? 1 : 0;
    const std::uint32_t n = DIR_FILE(fspec.c_str(), hidden, 0, "F", 0, lf.path(), 1, 0);
    if (n > 0 && !err_) {
        FLDF* rfp = FL_OP(lf.path(), 0, 2, 0, nullptr);
        while (const char* line = FL_S(rfp, 0)) paths.emplace_back(line);
        FL_CL(rfp, 1);
    }
    if (err_) {
        error = cli::Failure::from_library().text;
        return false;
    }
    return true;
}

// What a directory named without -r sends: its own files, not the tree below it.
std::string directory_note(const std::string& fspec, std::size_t files) {
    return cli::shown(fspec) + (fspec.ends_with('/') ? "" : "/") + " is a directory: sending its " +
           std::to_string(files) + (files == 1 ? " file" : " files") + "; use -r for the whole tree";
}

// The files the lister found, with what stat says of them; links to directories are left out,
// as directories are. One that cannot be looked at stays: sending it says why it cannot go.
std::size_t add_listed(const std::vector<std::string>& paths, const std::string& destdir, std::vector<Item>& files) {
    std::size_t added = 0;
    for (const std::string& path : paths) {
        struct stat st {};
        const bool seen = ::stat(path.c_str(), &st) == 0;
        if (seen && S_ISDIR(st.st_mode)) continue;
        files.push_back({path, last_part(path), destdir, seen ? static_cast<std::uint64_t>(st.st_size) : 0,
                         seen ? attrs_of(st) : wire::Attrs{}});
        ++added;
    }
    return added;
}

}  // namespace

std::string tree_destdir(const std::string& dest, const std::string& fspec, const std::string& rel) {
    std::string top = fspec;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    std::string base = last_part(top);
    if (base == "." || base == "..") base.clear();
    const auto slash = rel.rfind('/');
    return join(join(dest, base), slash == std::string::npos ? "" : rel.substr(0, slash));
}

bool expand(const Args& args, Listing& out, std::string& error) {
    // The list holds paths as they are: runs of spaces in names must survive.
    dir_file_remove_extra_spaces = 0;
    ListFile lf;
    for (const std::string& fspec : args.fspecs) {
        std::size_t found = 0;
        if (args.recursive && is_dir(fspec)) {
            found = expand_tree(args, fspec, out);
        } else {
            std::vector<std::string> paths;
            if (!list(fspec, args.hidden, lf, paths, error)) return false;
            std::sort(paths.begin(), paths.end());
            found = add_listed(paths, args.destdir, out.files);
            if (found && is_dir(fspec)) out.notes.push_back(directory_note(fspec, found));
        }
        if (found) continue;
        struct stat st {};
        if (::lstat(fspec.c_str(), &st) == 0 && last_part(fspec).find_first_of("\r\n") != std::string::npos) {
            // The lister cannot hold such a name; the file is there, and sending says why
            // it cannot go.
            out.files.push_back({fspec, last_part(fspec), args.destdir});
            continue;
        }
        if (is_dir(fspec))
            error = "\"" + cli::shown(fspec) + "\" holds no files to send" +
                    (args.recursive ? "" : " (-r sends the tree below it)");
        else
            error = "\"" + cli::shown(fspec) + "\" not found";
        error += "; nothing was sent";
        return false;
    }
    order_dirs(out.dirs);
    return true;
}

}  // namespace tx
