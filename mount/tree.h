// The tree that rux-mount shows: the resources of a set as files below
// directories, laid out as rux-extract lays them out on disk.
//
// Rules, in the order they apply:
//  - A name splits into components at '/' and '\'. Empty and "."
//    components are dropped, as a path on disk drops them; a name whose
//    last component is empty or "." names no file and is not shown.
//  - A name that rux-extract refuses as unsafe is not shown.
//  - A resource whose data cannot be reached (a missing loose file) is not
//    shown, as rux-extract makes no file for it.
//  - A resource that a file mounted earlier lists under the same identity
//    (ResourceSet::Find: ASCII case folded, '\' taken as '/') is not
//    shown: the first file's spelling stands for every spelling.
//  - Names of one file that give one path (they differ only in their
//    separators) show one file: the last in slot order, which is the one
//    rux-extract leaves on disk.
//  - A path that is both a file and a directory of other resources (a
//    resource "a" beside "a/b") is a directory: the file is not shown.
//  - Each file's data is what ResourceSet::Find of its name returns.
// Every resource left out gets one line in the build's messages: rux-
// extract's "Refused unsafe name NAME" for unsafe names, else
// "Not shown NAME: WHY".
//
// Components keep their spelling, so names of one file that differ in
// case are different files, as rux-extract writes them; a directory that
// several files list takes the first file's spelling. Find also finds a
// child whose name differs only in ASCII case: where several do, the one
// ResourceSet::Find gives for the path, else the first met.
#ifndef RUX_MOUNT_TREE_H
#define RUX_MOUNT_TREE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "resource/set.h"

namespace rux {

struct MountNode {
    std::string name;  // the component, as spelled; "" for the root
    int parent = 0;    // node number of the directory holding it (the root: itself)
    int slot = -1;     // a file: the index slot its data is read from; a directory: -1
    std::uint64_t size = 0;    // a file's bytes
    std::uint64_t packed = 0;  // a file's bytes in the resource file (a loose one: its size)
    int fileSlot = 0;          // the mount slot whose file's times it has (a directory: whose spelling)
    std::vector<int> children;  // a directory's, in the order they were first met
    std::map<std::string, int> byName;    // a directory's children by exact name
    std::multimap<std::string, int> byFolded;  // ... by name in lower case, in the order met
    int subdirectories = 0;

    bool IsDirectory() const { return slot < 0; }
};

class MountTree {
public:
    // Builds the tree of the set's resources, appending one line per
    // resource left out to messages. The set must stay mounted while the
    // tree is used.
    void Build(const ResourceSet& set, std::string* messages);

    // Node 0 is the root directory.
    const std::vector<MountNode>& Nodes() const { return nodes_; }
    // The child of directory dir called name: exactly so spelled, else
    // equal ignoring ASCII case; -1 if none (or dir is not a directory).
    int Find(int dir, const char* name) const;

    // The node's path from the root, components joined by '/'.
    std::string Path(int node) const;

private:
    int AddChild(int dir, const std::string& name, int slot);
    // The directory below dir that a resource of fileSlot puts name in.
    int DirectoryFor(int dir, const std::string& name, int fileSlot);
    const ResourceSet* set_ = nullptr;
    std::vector<MountNode> nodes_;
};

}  // namespace rux

#endif
