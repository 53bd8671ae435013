// A directory below the target, reached from the target's open handle
// one level at a time and never through a symbolic link, and the helpers
// that take the "/"-separated paths relative to the target apart. The
// run, its plan and its rollback journal all walk the target this way.
//
// FS is the file-system policy; every file operation goes through it. A
// cursor belongs to one thread.
#pragma once

#include "platform/file_system.h"
#include "platform/stdx_string.h"

// The directory part of a "/"-separated path relative to the target
// (empty for an entry of the target itself) and its last component.
inline void split_relative(const stdx::u16string& relative, stdx::u16string& directory,
                           stdx::u16string& name) {
  size_t slash = relative.rfind(u'/');
  if (slash == stdx::u16string::npos) {
    directory.clear();
    name = relative;
  } else {
    directory = relative.substr(0, slash);
    name = relative.substr(slash + 1);
  }
}

// True when relative lies below directory (both relative to the target;
// every relative path lies below the empty one, the target itself).
inline bool is_below(const stdx::u16string& relative, const stdx::u16string& directory) {
  if (directory.empty()) return !relative.empty();
  return relative.size() > directory.size() && relative[directory.size()] == u'/' &&
         relative.substr(0, directory.size()) == directory;
}

// One open directory below a root handle, reached without following a
// link and kept while the next request is for the same directory (members
// come sorted, so most requests are). A request below the one held starts
// from it, and one a few levels above goes up from it (checking at each
// level that the directory above still holds the one below under its
// name), so moving one level down or up costs a call or three whatever
// the depth.
template <class FS>
class BasicDirectoryCursor {
 public:
  BasicDirectoryCursor() {}
  ~BasicDirectoryCursor() { close(); }
  BasicDirectoryCursor(const BasicDirectoryCursor&) = delete;
  BasicDirectoryCursor& operator=(const BasicDirectoryCursor&) = delete;

  void reset(void* root) {
    close();
    root_ = root;
  }
  void* root() const { return root_; }
  const stdx::u16string& path() const { return path_; }
  bool holds(const stdx::u16string& relative) const {
    return relative.empty() || (handle_ != INVALID_HANDLE_VALUE && relative == path_);
  }

  // The handle of relative (empty: the root), valid until the next call.
  FsResult open(const stdx::u16string& relative, void*& handle) {
    if (relative.empty()) {
      handle = root_;
      return root_ == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : 0u;
    }
    if (handle_ != INVALID_HANDLE_VALUE && relative == path_) {
      handle = handle_;
      return 0;
    }
    if (handle_ != INVALID_HANDLE_VALUE && is_below(path_, relative) &&
        levelsUp(relative) <= kMaxLevelsUp) {
      FsResult code = climbTo(relative);
      if (code == 0) {
        handle = handle_;
        return 0;
      }
      if (code != ERROR_PATH_NOT_FOUND) return code;
      // Not where it was: resolved afresh from the root below.
    }
    void* from = root_;
    stdx::u16string rest = relative;
    if (handle_ != INVALID_HANDLE_VALUE && !path_.empty() && is_below(relative, path_)) {
      from = handle_;
      rest = relative.substr(path_.size() + 1);
    }
    void* opened = INVALID_HANDLE_VALUE;
    FsResult code = FS::OpenDirectoryBeneath(from, rest, opened);
    if (code != 0) return code;
    adopt(relative, opened);
    handle = opened;
    return 0;
  }
  // Takes over handle as the one of relative.
  void adopt(const stdx::u16string& relative, void* handle) {
    close();
    path_ = relative;
    handle_ = handle;
  }
  // Gives up the handle held (not the root).
  void close() {
    // Only a directory read: nothing to report.
    if (handle_ != INVALID_HANDLE_VALUE) FS::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    path_.clear();
  }

 private:
  static const size_t kMaxLevelsUp = 4;

  size_t levelsUp(const stdx::u16string& ancestor) const {
    size_t levels = 0;
    for (size_t i = ancestor.size(); i < path_.size(); ++i) levels += path_[i] == u'/';
    return ancestor.empty() ? levels + 1 : levels;
  }

  // Goes up from the directory held to ancestor, one ".." at a time.
  // ERROR_PATH_NOT_FOUND when a directory above no longer holds the one
  // below under its name (the held one was moved): nothing is then held.
  FsResult climbTo(const stdx::u16string& ancestor) {
    while (path_.size() > ancestor.size()) {
      size_t slash = path_.rfind(u'/');
      stdx::u16string name = slash == stdx::u16string::npos ? path_ : path_.substr(slash + 1);
      stdx::u16string up = slash == stdx::u16string::npos ? stdx::u16string() : path_.substr(0, slash);
      void* parent = INVALID_HANDLE_VALUE;
      FileInformation held, named;
      FsResult code = FS::GetFileInformationByHandle(handle_, held);
      if (code == 0) code = FS::OpenParentDirectory(handle_, parent);
      if (code != 0) return code;
      code = FS::GetFileInformationAt(parent, name, named);
      bool same = code == 0 && named.volume == held.volume && named.index == held.index;
      if (code == 0 || code == ERROR_FILE_NOT_FOUND) code = same ? 0u : ERROR_PATH_NOT_FOUND;
      if (code != 0) {
        FS::CloseHandle(parent);  // only a directory read: nothing to report
        close();
        return code;
      }
      if (up.empty()) {
        // The root itself is held by the caller, never by the cursor.
        FS::CloseHandle(parent);
        close();
        return 0;
      }
      adopt(up, parent);
    }
    return 0;
  }

  void* root_ = INVALID_HANDLE_VALUE;
  void* handle_ = INVALID_HANDLE_VALUE;
  stdx::u16string path_;
};
