#include "bench/peer_verdict.h"

#include <stdio.h>

#include "bench/statistics.h"

namespace bench {

double ratioBudget(FsKind fs, TreeKind tree) {
  if (tree == TreeKind::kGenerated) return 0;
  if (fs == FsKind::kTmpfs) return 0.8;
  if (fs == FsKind::kExt4) {
    switch (tree) {
      case TreeKind::kHeaders: return 1.0;
      case TreeKind::kLibs: return 0.7;
      case TreeKind::kSmallKit: return 1.5;
      case TreeKind::kGenerated: return 0;
    }
  }
  return 0;
}

bool roundsAgree(const std::vector<double>& rounds) { return spread(rounds) <= kAgreeShare + 1e-9; }

RowVerdict judgeRow(const PeerRow& row) {
  RowVerdict v;
  v.budget = ratioBudget(row.fsKind, row.treeKind);
  double best = 0;
  for (size_t i = 0; i < row.peers.size(); ++i) {
    const SideRuns& p = row.peers[i];
    if (!p.timed()) continue;
    if (v.fastest < 0 || median(p.rounds) < best) {
      v.fastest = static_cast<int>(i);
      best = median(p.rounds);
    }
  }
  auto note = [&](const SideRuns& side) {
    if (side.timed() && !roundsAgree(side.rounds))
      v.disagreeing.push_back(side.name + " (spread " + percent(spread(side.rounds)) + ")");
  };
  for (const SideRuns& s : row.setup) note(s);
  for (const SideRuns& p : row.peers) note(p);

  std::string where = row.fs + " " + row.tree;
  char text[256];
  for (int k = 0; k < kPackageKinds; ++k) {
    const SideRuns& s = row.setup[k];
    std::string what = where + " " + kPackageKindNames[k];
    if (!s.timed()) {
      v.misses.push_back(what + ": setup not timed: " + (s.skip.empty() ? "no rounds" : s.skip));
      continue;
    }
    if (s.hwmKib / 1024.0 > kPeerPeakBudgetMib) {
      snprintf(text, sizeof text, ": peak memory %.1f MiB, budget %.0f MiB", s.hwmKib / 1024.0, kPeerPeakBudgetMib);
      v.misses.push_back(what + text);
    }
    if (v.fastest < 0) {
      if (v.budget > 0) v.misses.push_back(what + ": no other unpacker was timed to compare with");
      continue;
    }
    const SideRuns& peer = row.peers[static_cast<size_t>(v.fastest)];
    v.ratio[k] = best > 0 ? median(s.rounds) / best : -1;
    if (v.budget <= 0) continue;
    if (v.ratio[k] < 0) {
      v.misses.push_back(what + ": the fastest unpacker took no measurable time");
    } else if (v.ratio[k] > v.budget) {
      snprintf(text, sizeof text, ": %.2fx the fastest unpacker (%s), budget %.2fx", v.ratio[k], peer.name.c_str(),
               v.budget);
      v.misses.push_back(what + text);
    } else if (!roundsAgree(s.rounds) || !roundsAgree(peer.rounds)) {
      snprintf(text, sizeof text, ": %.2fx within budget %.2fx, but the rounds disagree (setup %s, %s %s)",
               v.ratio[k], v.budget, percent(spread(s.rounds)).c_str(), peer.name.c_str(),
               percent(spread(peer.rounds)).c_str());
      v.misses.push_back(what + text);
    }
  }
  return v;
}

std::string ratioCell(const RowVerdict& v) {
  std::string cell;
  for (int k = 0; k < kPackageKinds; ++k) {
    char text[32] = "-";
    if (v.ratio[k] >= 0) snprintf(text, sizeof text, "%.2f", v.ratio[k]);
    cell += (k == 0 ? "" : " / ") + std::string(text);
  }
  return cell;
}

}  // namespace bench
