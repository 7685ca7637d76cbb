// File-specs to files: patterns and directories through the library's lister, trees (-r)
// walked here so that the receiver can rebuild them.
#include "expand.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

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

// Every file below dir (paths relative to the tree's top in rel), directories descended
// but links to them not followed; hidden names only with hidden.
void walk(const std::string& top, const std::string& rel, bool hidden, std::vector<std::string>& found) {
    DIR* d = ::opendir(join(top, rel).c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || (name[0] == '.' && !hidden)) continue;
        const std::string sub = join(rel, name);
        struct stat st {};
        if (::lstat(join(top, sub).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) walk(top, sub, hidden, found);
        else if (!(S_ISLNK(st.st_mode) && is_dir(join(top, sub)))) found.push_back(sub);
    }
    ::closedir(d);
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

}  // namespace

std::string tree_destdir(const std::string& dest, const std::string& fspec, const std::string& rel) {
    std::string top = fspec;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    std::string base = last_part(top);
    if (base == "." || base == "..") base.clear();
    const auto slash = rel.rfind('/');
    return join(join(dest, base), slash == std::string::npos ? "" : rel.substr(0, slash));
}

bool expand(const Args& args, std::vector<Item>& items, std::vector<std::string>& notes, std::string& error) {
    // The list holds paths as they are: runs of spaces in names must survive.
    dir_file_remove_extra_spaces = 0;
    ListFile lf;
    for (const std::string& fspec : args.fspecs) {
        std::vector<std::string> paths;
        if (args.recursive && is_dir(fspec)) {
            walk(fspec, "", args.hidden, paths);
            std::sort(paths.begin(), paths.end());
            for (const std::string& rel : paths)
                items.push_back({join(fspec, rel), last_part(rel), tree_destdir(args.destdir, fspec, rel)});
        } else {
            if (!list(fspec, args.hidden, lf, paths, error)) return false;
            // Links to directories are left out, as directories are.
            std::erase_if(paths, is_dir);
            std::sort(paths.begin(), paths.end());
            for (const std::string& path : paths) items.push_back({path, last_part(path), args.destdir});
            if (!paths.empty() && is_dir(fspec)) notes.push_back(directory_note(fspec, paths.size()));
        }
        if (!paths.empty()) continue;
        struct stat st {};
        if (::lstat(fspec.c_str(), &st) == 0 && last_part(fspec).find_first_of("\r\n") != std::string::npos) {
            // The lister cannot hold such a name; the file is there, and sending says why
            // it cannot go.
            items.push_back({fspec, last_part(fspec), args.destdir});
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
    return true;
}

}  // namespace tx
