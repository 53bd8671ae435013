// The batch that takes a run's written files to the disk, against a file
// system that only records: what is waited for and flushed, on each kind
// of file system, how many files stay open, and what a failure names.
#include <gtest/gtest.h>

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "install/durable_batch.h"
#include "install/test_support.h"
#include "platform/test_util.h"

using test_support::u8;

namespace {

// Handles are numbers: a directory's tells which file system holds it.
struct RecordingFs {
  static inline std::map<intptr_t, Durability> durability;
  static inline std::vector<std::string> log;
  static inline std::map<intptr_t, std::string> names;
  static inline intptr_t failWait = 0;
  static inline unsigned open = 0, mostOpen = 0, started = 0;

  static void reset() {
    durability.clear();
    log.clear();
    names.clear();
    failWait = 0;
    open = mostOpen = started = 0;
  }
  static void* file(intptr_t n) {
    if (++open > mostOpen) mostOpen = open;
    return reinterpret_cast<void*>(n);
  }
  static Durability GetDurability(void* handle) { return durability.at(reinterpret_cast<intptr_t>(handle)); }
  static FsResult StartFlushFileBuffers(void*) {
    ++started;
    return 0;
  }
  static FsResult WaitFileBuffers(void* handle, bool metadata) {
    intptr_t n = reinterpret_cast<intptr_t>(handle);
    log.push_back((metadata ? "datasync " : "wait ") + std::to_string(n));
    return n == failWait ? FsResult(ERROR_DISK_FULL, EIO) : FsResult(0);
  }
  static FsResult FlushDirectory(void* directory) {
    log.push_back("fsync " + names.at(reinterpret_cast<intptr_t>(directory)));
    return 0;
  }
  static FsResult CloseHandle(void*) {
    --open;
    return 0;
  }
};

typedef DurableBatch<RecordingFs> Batch;

const intptr_t kJournalA = -1, kJournalB = -2, kPerFile = -3, kMemory = -4;

void setUpVolumes() {
  RecordingFs::reset();
  RecordingFs::durability[kJournalA] = Durability{Durability::kJournal, 1};
  RecordingFs::durability[kJournalB] = Durability{Durability::kJournal, 2};
  RecordingFs::durability[kPerFile] = Durability{Durability::kPerFile, 3};
  RecordingFs::durability[kMemory] = Durability{Durability::kInMemory, 4};
}

// Each directory's handle opened by the run's own way to it.
FsResult openNamed(const stdx::u16string& dir, void*& handle) {
  static intptr_t next = 1000;
  handle = reinterpret_cast<void*>(++next);
  RecordingFs::names[next] = dir.empty() ? "." : u8(dir);
  return 0;
}

std::vector<std::string> finish(Batch& batch) {
  stdx::u16string failed;
  EXPECT_EQ(0u, batch.finish(openNamed, failed));
  std::vector<std::string> fsyncs;
  for (const std::string& line : RecordingFs::log)
    if (line.compare(0, 6, "fsync ") == 0) fsyncs.push_back(line.substr(6));
  return fsyncs;
}

// Where the files went decides what is flushed: a journaled file system
// one fsync, of the directory that got an entry last, whatever the number
// of directories; one without a journal each file's data and metadata and
// every directory up to the target; one in memory nothing at all (not even
// a writeback started).
TEST(DurableBatchTest, FlushesWhatTheFileSystemNeedsAndNoMore) {
  struct Entry {
    const char16_t* directory;
    intptr_t volume;
  };
  const struct {
    const char* name;
    std::vector<Entry> entries;
    std::vector<std::string> fsyncs;
    const char* wait;  // how each file is waited for
  } cases[] = {
      {"journal, many folders", {{u"a", kJournalA}, {u"a/b", kJournalA}, {u"c", kJournalA}, {u"a", kJournalA}},
       {"a"}, "wait "},
      {"journal, last folder deepest", {{u"a", kJournalA}, {u"x/y/z", kJournalA}}, {"x/y/z"}, "wait "},
      {"two journaled file systems", {{u"a", kJournalA}, {u"m/b", kJournalB}, {u"a/c", kJournalA}},
       {"a/c", "m/b"}, "wait "},
      {"no journal", {{u"x/y", kPerFile}, {u"x", kPerFile}, {u"q", kPerFile}}, {".", "q", "x", "x/y"}, "datasync "},
      {"in memory", {{u"a", kMemory}, {u"b/c", kMemory}}, {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setUpVolumes();
    Batch batch;
    intptr_t n = 0;
    for (const Entry& e : c.entries) {
      batch.entryIn(e.directory, reinterpret_cast<void*>(e.volume));
      stdx::u16string failed;
      EXPECT_EQ(0u, batch.add(e.directory, u"member", RecordingFs::file(++n), failed));
    }
    std::vector<std::string> fsyncs = finish(batch);
    EXPECT_EQ(c.fsyncs, fsyncs);
    for (intptr_t i = 1; c.wait != nullptr && i <= n; ++i)
      EXPECT_EQ(c.wait + std::to_string(i), RecordingFs::log[i - 1]);
    if (c.wait == nullptr) {
      EXPECT_TRUE(RecordingFs::log.empty());
    }
    EXPECT_EQ(c.wait == nullptr ? 0u : static_cast<unsigned>(n), RecordingFs::started);
    EXPECT_EQ(0u, RecordingFs::open);
    EXPECT_EQ(0u, batch.held());
  }
}

// However many files a run writes, no more than kHeldFiles stay open: the
// oldest is waited for to make room, and every file is waited for once,
// in the order written. A failed wait names that file's member, even when
// it is found while a later one is added; what a cancel leaves open is
// closed without a wait.
TEST(DurableBatchTest, HoldsFewFilesAndNamesTheOneWhoseWaitFailed) {
  const size_t total = Batch::kHeldFiles * 3 + 5;
  const struct {
    const char* name;
    intptr_t failWait;  // 0: none
    bool cancel;
  } cases[] = {
      {"all written", 0, false},
      {"wait fails while adding", 7, false},
      {"wait fails at the end", static_cast<intptr_t>(total - 1), false},
      {"cancelled", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setUpVolumes();
    RecordingFs::failWait = c.failWait;
    Batch batch;
    stdx::u16string failed;
    FsResult code = 0;
    size_t added = 0;
    for (size_t i = 1; code == 0 && i <= total; ++i, ++added) {
      batch.entryIn(u"d", reinterpret_cast<void*>(kJournalA));
      stdx::u16string name = u16("m" + std::to_string(i));
      code = batch.add(u"d", name, RecordingFs::file(static_cast<intptr_t>(i)), failed);
    }
    EXPECT_LE(RecordingFs::mostOpen, Batch::kHeldFiles + 1);
    if (c.cancel) {
      size_t waited = RecordingFs::log.size();
      batch.clear();
      EXPECT_EQ(waited, RecordingFs::log.size());
    } else if (code == 0) {
      code = batch.finish(openNamed, failed);
    }
    // After a failure the run undoes itself, and clears the batch first.
    if (c.failWait == 0) {
      EXPECT_EQ(0u, RecordingFs::open) << "every file closed";
    }
    if (c.failWait != 0) {
      EXPECT_NE(0u, code);
      EXPECT_EQ("d/m" + std::to_string(c.failWait), u8(failed));
      // Nothing is flushed after a failed wait: the run is undone.
      for (const std::string& line : RecordingFs::log) EXPECT_NE(0u, line.compare(0, 6, "fsync "));
      batch.clear();
      EXPECT_EQ(0u, RecordingFs::open);
    } else if (!c.cancel) {
      EXPECT_EQ(0u, code);
      ASSERT_EQ(total + 1, RecordingFs::log.size());
      for (size_t i = 1; i <= total; ++i) EXPECT_EQ("wait " + std::to_string(i), RecordingFs::log[i - 1]);
      EXPECT_EQ("fsync d", RecordingFs::log.back());
    }
  }
}

}  // namespace
