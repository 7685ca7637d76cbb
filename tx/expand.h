// Turning pitchr's file-specs into the list of files to send, all before the first one goes.
#ifndef TX_EXPAND_H
#define TX_EXPAND_H

#include <string>
#include <vector>

#include "args.h"

namespace tx {

struct Item {
    std::string path;     // as printed and opened
    std::string name;     // the name line: the path's last part
    std::string destdir;  // the directory line
};

// Every file of every file-spec, each file-spec's files in byte order of their paths. False
// with error set (naming the file-spec) when one matches nothing. notes gets a line for each
// directory sent without its tree.
bool expand(const Args& args, std::vector<Item>& items, std::vector<std::string>& notes, std::string& error);

// The directory line of a file found at rel (its path below the tree named by fspec): the
// tree's own name and rel's directories under dest, as a recursive copy lays them out.
std::string tree_destdir(const std::string& dest, const std::string& fspec, const std::string& rel);

}  // namespace tx

#endif
