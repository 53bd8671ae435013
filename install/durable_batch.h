// The files a run writes beside their places, on their way to the disk:
// each is handed over as soon as its bytes are written (its writeback
// already started), and the run waits for all of them after the last one,
// then commits the directories that hold them. Only then may a rename
// expose any of them: a name a crash leaves in place never refers to data
// that did not reach the disk.
//
// Where one journal serves a whole file system (ext3/4, XFS) it commits in
// order: a single fsync of the directory the run made an entry in last
// commits every earlier entry of the run, in every directory (temporary
// files and directories made), and flushes the device's cache once, for
// the data of all the files waited for before it. What the file system
// logs as their data lands (sizes, blocks) is logged before any rename,
// so no commit can keep a rename without it. An fsync per directory would
// cost a journal commit or a cache flush each. Elsewhere each file gets
// its fdatasync and each directory with new entries its fsync. On a file
// system in memory nothing is waited for. Only this run's files and
// directories are named: no other program's unwritten data is waited for.
#pragma once

#include <deque>
#include <map>
#include <set>

#include "platform/file_system.h"

template <class FS>
class DurableBatch {
 public:
  // Files held open at most. To make room the oldest is waited for and
  // closed: its writeback began that many files earlier, so the wait is
  // mostly over, and the run never holds more descriptors than this.
  static const size_t kHeldFiles = 128;

  DurableBatch() = default;
  DurableBatch(const DurableBatch&) = delete;
  DurableBatch& operator=(const DurableBatch&) = delete;
  ~DurableBatch() { clear(); }

  // Tells the batch that the run makes an entry in directory (relative to
  // the target) now, while the caller holds it open: the file system
  // behind it is asked once.
  void entryIn(const stdx::u16string& directory, void* handle) {
    noteEntry(directory, durabilityOf(directory, &handle));
  }

  // The same, from a thread that no longer holds the directory: durability
  // is what GetDurability said of it (the first answer for a directory is
  // the one kept).
  void entryIn(const stdx::u16string& directory, const Durability& durability) {
    if (last_ == directories_.end() || last_->first != directory) {
      last_ = directories_.emplace(directory, durability).first;
    }
    noteEntry(directory, last_->second);
  }

  // Takes over file, written in directory (told by entryIn) for the member
  // name there, and starts its writeback: it is closed here, now or later.
  // A failure may be an earlier file's: failed then gets that member's path.
  FsResult add(const stdx::u16string& directory, const stdx::u16string& name, void* file,
               stdx::u16string& failed) {
    Durability durability = durabilityOf(directory, nullptr);
    if (durability.kind == Durability::kInMemory) {
      FsResult closed = FS::CloseHandle(file);
      if (closed != 0) failed = join(directory, name);
      return closed;
    }
    // The file starts on its way to the disk now, while the package is
    // still inflating, so that the wait in finish() finds most of it done
    // (and its blocks placed, so one journal commit covers them all). Only
    // a head start: the wait checks the outcome.
    FS::StartFlushFileBuffers(file);
    held_.push_back(Held{file, directory, name, durability.kind == Durability::kPerFile});
    if (durability.kind == Durability::kPerFile) perFileDirectories_.insert(directory);
    if (held_.size() <= kHeldFiles) return 0;
    return settleOldest(failed);
  }

  // Waits for every file's data, then makes the directories' entries
  // durable. open(directory, handle) reaches a directory as the run does,
  // the handle staying its own. On failure failed gets the file's or the
  // directory's path, relative to the target.
  template <class Open>
  FsResult finish(Open open, stdx::u16string& failed) {
    while (!held_.empty()) {
      FsResult code = settleOldest(failed);
      if (code != 0) return code;
    }
    // A directory the run made has a new entry in the one above it, up to
    // the target: on a file system without a journal each is flushed. One
    // the run did not make is flushed for nothing, but cheaply.
    std::set<stdx::u16string, Less> flushes(perFileDirectories_.begin(), perFileDirectories_.end());
    for (const stdx::u16string& held : perFileDirectories_) {
      stdx::u16string dir = held;
      while (!dir.empty()) {
        size_t slash = dir.rfind(u'/');
        dir = slash == stdx::u16string::npos ? stdx::u16string() : dir.substr(0, slash);
        if (!flushes.insert(dir).second) break;
      }
    }
    for (const auto& last : lastOnJournal_) flushes.insert(last.second);
    for (const stdx::u16string& dir : flushes) {
      failed = dir;
      void* handle = INVALID_HANDLE_VALUE;
      FsResult code = open(dir, handle);
      if (code == 0) code = FS::FlushDirectory(handle);
      if (code != 0) return code;
    }
    clear();
    return 0;
  }

  // Forgets everything, closing what is still open without waiting: the
  // run is undone, and its files deleted by name.
  void clear() {
    for (Held& h : held_) FS::CloseHandle(h.file);
    held_.clear();
    directories_.clear();
    last_ = directories_.end();
    lastOnJournal_.clear();
    perFileDirectories_.clear();
  }

  // Files still open.
  size_t held() const { return held_.size(); }

 private:
  struct Less {
    bool operator()(const stdx::u16string& a, const stdx::u16string& b) const { return a.compare(b) < 0; }
  };
  struct Held {
    void* file;
    stdx::u16string directory;
    stdx::u16string name;
    bool metadata;  // its own fdatasync: no journal commits it
  };

  static stdx::u16string join(const stdx::u16string& directory, const stdx::u16string& name) {
    return directory.empty() ? name : directory + u"/" + name;
  }

  void noteEntry(const stdx::u16string& directory, const Durability& durability) {
    if (durability.kind != Durability::kJournal) return;
    stdx::u16string& last = lastOnJournal_[durability.volume];
    if (last != directory) last = directory;
  }

  // What the file system behind directory keeps, asked once per directory
  // through handle, open on it (null: not asked; a directory never told
  // of is flushed file by file). Members come folder by folder: the last
  // answer usually serves the next one too.
  Durability durabilityOf(const stdx::u16string& directory, void* const* handle) {
    if (last_ != directories_.end() && last_->first == directory) return last_->second;
    auto where = directories_.find(directory);
    if (where == directories_.end()) {
      if (handle == nullptr) return Durability{Durability::kPerFile, 0};
      where = directories_.emplace(directory, FS::GetDurability(*handle)).first;
    }
    last_ = where;
    return where->second;
  }

  FsResult settleOldest(stdx::u16string& failed) {
    Held oldest = held_.front();
    held_.pop_front();
    FsResult code = FS::WaitFileBuffers(oldest.file, oldest.metadata);
    FsResult closed = FS::CloseHandle(oldest.file);
    if (code == 0) code = closed;
    if (code != 0) failed = join(oldest.directory, oldest.name);
    return code;
  }

  std::deque<Held> held_;
  std::map<stdx::u16string, Durability, Less> directories_;
  typename std::map<stdx::u16string, Durability, Less>::iterator last_ = directories_.end();
  // For each journaled file system, the directory this run changed last.
  std::map<unsigned long long, stdx::u16string> lastOnJournal_;
  std::set<stdx::u16string, Less> perFileDirectories_;
};
