// The verdicts of the benchmark against the other unpackers: per file
// system, tree and package kind, setup's median against the fastest
// unpacker's, whether the rounds behind them agree, and the budgets.
#pragma once

#include <string>
#include <vector>

namespace bench {

enum class FsKind { kTmpfs, kExt4, kOther };
enum class TreeKind { kHeaders, kLibs, kSmallKit, kGenerated };

// The most setup may take, as a share of the fastest unpacker's time, on
// a tree of this kind on this file system; 0 where none applies. On tmpfs
// only the unpacking itself counts. On ext4 setup makes its files durable
// and the unpackers do not: the large files of the libraries leave room
// for that, the many small headers and the small kit less so.
double ratioBudget(FsKind fs, TreeKind tree);

const double kPeerPeakBudgetMib = 64;
// Rounds agree when (slowest - fastest) / median stays within this share.
const double kAgreeShare = 0.15;
bool roundsAgree(const std::vector<double>& rounds);

// One program on one tree: its rounds in seconds, or why it was not timed.
struct SideRuns {
  std::string name;
  std::vector<double> rounds;
  // Its processor time (user and system) in the same rounds: on a busy
  // machine steadier than the wall clock, though blind to waits for the disk.
  std::vector<double> cpu;
  std::string skip;  // empty when it was timed in every round
  long hwmKib = 0;   // its highest peak resident memory
  bool timed() const { return skip.empty() && !rounds.empty(); }
};

// The two package kinds setup installs.
enum PackageKind { kForeign = 0, kOwn = 1, kPackageKinds = 2 };
const char* const kPackageKindNames[kPackageKinds] = {"foreign", "own"};

// One tree on one file system.
struct PeerRow {
  std::string fs, tree, description;
  FsKind fsKind = FsKind::kOther;
  TreeKind treeKind = TreeKind::kGenerated;
  SideRuns setup[kPackageKinds];
  std::vector<SideRuns> peers;
};

struct RowVerdict {
  int fastest = -1;                        // index of the fastest timed peer, -1 for none
  double ratio[kPackageKinds] = {-1, -1};  // setup's median / the fastest peer's; -1 unmeasured
  double budget = 0;                       // 0: the ratio is not judged
  std::vector<std::string> disagreeing;    // sides whose rounds spread wider than kAgreeShare
  std::vector<std::string> misses;         // each budget missed or not measured, in words
};

// Judges one row. A ratio whose rounds (setup's or the fastest peer's)
// disagree is not taken as kept: it is named as a miss, as is one that
// could not be measured at all.
RowVerdict judgeRow(const PeerRow& row);

// The "foreign / own" cell of the ratios, "-" for a side not measured.
std::string ratioCell(const RowVerdict& v);

}  // namespace bench
