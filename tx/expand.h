// Turning pitchr's file-specs into the list of files to send, all before the first one goes.
#ifndef TX_EXPAND_H
#define TX_EXPAND_H

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "ext.h"

namespace tx {

struct Item {
    std::string path;     // as printed and opened
    std::string name;     // the name line: the path's last part (empty for a directory)
    std::string destdir;  // the directory line
    // As listed, before anything is sent: the order of -j, the entries of -u's CHECK and the
    // sizes of -n. What is sent is what the file is when it is opened.
    std::uint64_t size = 0;
    wire::Attrs attrs{};
    bool is_dir = false;  // a directory of a tree (-r), made by a DIR request after the files
};

struct Listing {
    std::vector<Item> files;
    // -r: every directory of each tree, its top included, deepest first; each under the
    // directory line its files get.
    std::vector<Item> dirs;
    std::vector<std::string> notes;  // a line for each directory sent without its tree
};

// Every file each fspec names, each fspec's files in byte order of their paths. False with
// error set (naming the fspec) when one matches nothing.
bool expand(const Args& args, Listing& out, std::string& error);

// The directory line of a file found at rel (its path below the tree named by fspec): the
// tree's own name and rel's directories under dest, as a recursive copy lays them out.
std::string tree_destdir(const std::string& dest, const std::string& fspec, const std::string& rel);

}  // namespace tx

#endif
