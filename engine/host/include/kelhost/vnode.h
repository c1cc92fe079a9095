// Vnodes and the Entry path tree that stands in for the kernel's name cache
// and parent links.
//
// The tree: one top Entry "devvp" holding the device vnode (made by Mount and
// installed with kel_tree_set_root); its one child, with an empty name, is
// the volume root. Children are keyed without regard to ASCII case; the
// stored name keeps the case it was made with.
//
// Lifetime: an Entry owns its vnode. A vnode the engine recycles leaves the
// tree (lookups no longer find it) but lives on, with what hangs below its
// Entry, until the engine reclaims it through VNOP_RECLAIM or the next Mount
// replaces the tree: the engine keeps plain pointers to its vnodes until it
// reclaims them, and its periodic walks recycle vnodes without reclaiming.
//
// Locking: one tree mutex guards every map, name and parent link. It is held
// only for short stretches inside these calls, never across a vnode_iterate
// callback nor across the engine's lookup (which reaches vnode_create).
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Entry;

struct vnode {
  mount* v_mount;
  void* v_data;          // the engine's node, opaque here
  std::uint32_t v_type;  // VREG 1, VDIR 2, VLNK 5
  std::uint32_t v_word;  // zero
  int v_isroot;          // root mark
  Entry* v_entry;        // back link (not owning)
};

// Case-insensitive (ASCII) hash and equality of child names.
struct EntryNameHash {
  std::size_t operator()(const std::string& name) const;
};
struct EntryNameEqual {
  bool operator()(const std::string& a, const std::string& b) const;
};

// The children of a folder Entry by name (EntryNameHash, EntryNameEqual):
// an open-addressing table with linear probing whose slots hold the name
// (a short one in place) beside its Entry, so that a lookup in a folder of
// many entries reads about one slot where a node-based map follows several
// pointers. The operations are those of std::unordered_map that the tree
// uses; an erase or insert invalidates iterators.
class EntryChildren {
 public:
  using value_type = std::pair<std::string, std::shared_ptr<Entry>>;
  struct Slot {
    std::size_t hash = 0;
    bool used = false;
    value_type kv;
  };
  class iterator {
   public:
    iterator() = default;
    value_type& operator*() const { return at_->kv; }
    value_type* operator->() const { return &at_->kv; }
    iterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    bool operator==(const iterator& o) const { return at_ == o.at_; }
    bool operator!=(const iterator& o) const { return at_ != o.at_; }

   private:
    friend class EntryChildren;
    iterator(Slot* at, Slot* end) : at_(at), end_(end) { skip(); }
    void skip() {
      while (at_ != end_ && !at_->used) ++at_;
    }
    Slot* at_ = nullptr;
    Slot* end_ = nullptr;
  };

  iterator begin() { return iterator(slots_.get(), slots_.get() + capacity_); }
  iterator end() { return iterator(slots_.get() + capacity_, slots_.get() + capacity_); }
  iterator find(const std::string& name);
  std::size_t count(const std::string& name) { return find(name) != end() ? 1 : 0; }
  // Places (name, child) unless the name is there already.
  std::pair<iterator, bool> emplace(const std::string& name, std::shared_ptr<Entry> child);
  void erase(iterator it);
  void clear();
  void swap(EntryChildren& other) noexcept;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  void grow();
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;  // 0 or a power of two
  std::size_t size_ = 0;
};

class Entry : public std::enable_shared_from_this<Entry> {
 public:
  using Map = EntryChildren;
  Entry(std::string name, std::weak_ptr<Entry> parent, std::shared_ptr<vnode> vp);
  ~Entry();
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;

  std::string name;
  std::weak_ptr<Entry> parent;
  std::shared_ptr<vnode> vn;
  Map children;
  bool is_top = false;  // the "devvp" entry of a tree
};
using EntryPtr = std::shared_ptr<Entry>;

// A path being resolved component by component.
class PathParser {
 public:
  explicit PathParser(const char* path);
  bool done() const { return done_; }
  const std::string& component() const { return component_; }
  // The path of the folder of the current component ("/" at the start).
  const std::string& prefix() const { return prefix_; }
  // Appends the current component to the prefix and moves to the next one.
  void advance();

 private:
  void next_component();
  std::string buffer_;
  std::size_t next_ = 0;
  std::string component_;
  std::string prefix_ = "/";
  bool done_ = false;
};

// ---- tree ----
// A vnode created with its reference counts in one allocation.
std::shared_ptr<vnode> kel_make_vnode(mount* mp, void* fsnode, std::uint32_t type, int root);
// Makes the top entry "devvp" for the device vnode and installs it as the
// tree's root; the previous tree (and its unplaced entries) go when their
// last holder lets go. Returns the new root.
EntryPtr kel_tree_make_root(std::shared_ptr<vnode> device_vnode);
// Installs root (null clears the tree).
void kel_tree_set_root(EntryPtr root);
EntryPtr kel_tree_root();
// Number of entries kept outside the tree for their vnodes (tests, traces).
std::size_t kel_tree_unplaced_count();

EntryPtr get_entry(const char* path, vfs_context* context);
EntryPtr find_entry(EntryPtr start, PathParser& parser);
EntryPtr lookup_entry(EntryPtr start, PathParser& parser, vfs_context* context);
EntryPtr insert(EntryPtr start, PathParser& parser, const std::string& name, std::shared_ptr<vnode> vp);
void create_path(const Entry* entry, std::string& out);
void walk_child_nodes(EntryPtr entry, int (*callback)(vnode*, void*), void* argument);

errno_t vnode_create(std::uint32_t flavor, std::uint32_t size, void* parameters, vnode** out);
int vnode_iterate(mount* mp, int flags, int (*callback)(vnode*, void*), void* argument);
int vn_getpath(vnode_t vp, char* buffer, int* length);
int vnode_ref(vnode_t vp);
int vnode_recycle(vnode_t vp);
void vnode_update_identity(vnode_t vp, vnode_t dvp, const char* name, int name_length,
                           unsigned int hash, int flags);
enum : int { VNODE_UPDATE_PARENT = 0x1, VNODE_UPDATE_NAME = 0x2 };

int vnode_isdir(vnode_t vp);
int vnode_isreg(vnode_t vp);
int vnode_islnk(vnode_t vp);
int vnode_isvroot(vnode_t vp);
mount_t vnode_mount(vnode_t vp);
void* vnode_fsnode(vnode_t vp);

// ---- vnode operations ----
extern vnodeop_desc vnop_default_desc, vnop_blktooff_desc, vnop_blockmap_desc, vnop_close_desc,
    vnop_create_desc, vnop_fsync_desc, vnop_getattr_desc, vnop_inactive_desc, vnop_ioctl_desc,
    vnop_lookup_desc, vnop_mkdir_desc, vnop_offtoblk_desc, vnop_open_desc, vnop_pagein_desc,
    vnop_pageout_desc, vnop_pathconf_desc, vnop_read_desc, vnop_readdir_desc, vnop_readlink_desc,
    vnop_reclaim_desc, vnop_remove_desc, vnop_rename_desc, vnop_rmdir_desc, vnop_setattr_desc,
    vnop_statfs_desc, vnop_strategy_desc, vnop_symlink_desc, vnop_write_desc;

// The engine's vnode operations as Initialise resolves them from the
// engine's vector (null until resolved), in resolve order.
struct KelResolvedVnops {
  vnop_handler_t setattr, getattr, mkdir, readdir, open, create, close, read, write, lookup, rename,
      remove, rmdir, fsync, ioctl, blockmap, inactive, reclaim, statfs;
};
extern KelResolvedVnops kel_vnops;
// For each of the 19 operations, in order (setattr, getattr, mkdir, readdir,
// open, create, close, read, write, lookup, rename, remove, rmdir, fsync,
// ioctl, blockmap, inactive, reclaim, statfs): the handler of the first pair
// of the vector (ended by a null descriptor) with its descriptor, or null
// when the vector lacks it or is null.
void kel_resolve_vnode_operations(const vnodeopv_entry_desc* vector, KelResolvedVnops* out);

// Build the argument record and call the resolved handler; 22 ("Invalid
// argument") on a null vnode, context or result, or when the handler is not
// resolved.
int VNOP_FSYNC(vnode_t vp, int waitfor, vfs_context_t context);
// Calls the engine's reclaim; when it succeeds, the tree lets go of the
// vnode (it leaves the tree if it is still there), so the vnode ends as soon
// as no caller holds its Entry.
int VNOP_RECLAIM(vnode_t vp, vfs_context_t context);
int vnode_blockmap(vnode_t vp, off64_kel_t offset, off64_kel_t size, int flags, blockmap_result* result);
