// The bodies of PackageImage's calls for its owner and its readers: start
// and stop the inflate, move the gate, wait at the frontiers, give storage
// back and say where a failure lies. Included by package_image.h only; the
// feed thread's own steps stay with the class.
#pragma once

namespace config {

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::start(const stdx::u16string& packagePath, bool gated) {
  discard();
  packagePath_ = packagePath;
  packageFileFailed_ = false;
  tempDir_.clear();
  FsResult code = FS::GetTempPath(tempDir_);
  if (code == 0) code = FS::CreateTempFile(tempDir_, tempFile_);
  if (code != 0) return code;
  stopInflating_.store(false);
  inflated_ = 0;
  checked_ = 0;
  released_ = 0;
  imageBytes_ = 0;
  feedEnded_ = false;
  membersPosted_ = false;
  feedCode_ = FsResult();
  written_ = 0;
  imageAt_ = 0;
  verifying_ = false;
  delivery_.reset(std::vector<MemberVerifier::Member>());
  gated_ = gated;
  wanted_ = 0;
  storeEnd_ = kNoEnd;
  queued_ = 0;
  try {
    feedThread_ = std::thread([this, packagePath] { feedImage(packagePath); });
  } catch (const std::system_error&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return 0;
}

template <class Compressor, class FS>
void PackageImage<Compressor, FS>::discard() {
  stopInflating();
  if (feedThread_.joinable()) feedThread_.join();
  if (tempFile_ != INVALID_HANDLE_VALUE) {
    FS::CloseHandle(tempFile_);  // an unnamed image goes with its handle
    tempFile_ = INVALID_HANDLE_VALUE;
  }
}

template <class Compressor, class FS>
void PackageImage<Compressor, FS>::stopInflating() {
  stopInflating_.store(true);
  { std::lock_guard<std::mutex> hold(feedMutex_); }  // a waiter at the gate sees the flag
  gateChanged_.notify_all();
}

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::limitTo(uint64_t end) {
  FsResult code;
  {
    std::lock_guard<std::mutex> hold(feedMutex_);
    storeEnd_ = end;
    // With the feed thread gone, nothing else writes the image.
    if (feedEnded_ && written_ > end) {
      code = cutImage(end);
      imageBytes_ = inflated_ = written_;
      checked_ = std::min(checked_, written_);
    }
  }
  gateChanged_.notify_all();
  return code;
}

template <class Compressor, class FS>
uint64_t PackageImage<Compressor, FS>::inflatedBytes() {
  std::lock_guard<std::mutex> hold(feedMutex_);
  return inflated_;
}

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::awaitBytes(uint64_t end, int timeoutMs, uint64_t* available, bool checked) {
  std::unique_lock<std::mutex> lock(feedMutex_);
  if (!checked && end > wanted_) {
    wanted_ = end;
    gateChanged_.notify_all();
  }
  const uint64_t& frontier = checked ? checked_ : inflated_;
  auto ready = [this, end, &frontier] { return feedCode_ != 0 || frontier >= end || feedEnded_; };
  if (!waitFeed(lock, timeoutMs, ready)) return kErrorPending;
  if (available != nullptr) *available = frontier;
  // Bytes written stay readable for the header's parser, whatever failed
  // behind them: a temporary directory that filled up past the header is
  // then reported with the sizes the header gives, and damage behind it
  // by the calls that wait for the rest.
  if (!checked && frontier >= end) return 0;
  if (feedCode_ != 0) return feedCode_;
  return frontier >= end ? FsResult() : FsResult(ERROR_INVALID_DATA);
}

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::awaitInflater() {
  std::unique_lock<std::mutex> lock(feedMutex_);
  feedChanged_.wait(lock, [this] { return feedEnded_; });
  return feedCode_;
}

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::awaitImage(int timeoutMs) {
  std::unique_lock<std::mutex> lock(feedMutex_);
  auto settled = [this] { return feedCode_ != 0 || (feedEnded_ && membersPosted_); };
  if (!waitFeed(lock, timeoutMs, settled)) return kErrorPending;
  return feedCode_;
}

template <class Compressor, class FS>
FsResult PackageImage<Compressor, FS>::postMembers(std::vector<MemberVerifier::Member> members) {
  delivery_.reset(members);
  verifier_.reset(std::move(members));
  uint64_t imageBytes = 0;
  {
    std::lock_guard<std::mutex> hold(feedMutex_);
    if (!feedEnded_) {
      membersPosted_ = true;
      return 0;
    }
    if (feedCode_ != 0) return feedCode_;
    imageBytes = imageBytes_;
  }
  FsResult code = catchUp(imageBytes);
  if (code == 0) code = verifier_.finish(imageBytes);
  std::lock_guard<std::mutex> hold(feedMutex_);
  membersPosted_ = true;
  if (feedCode_ == 0) feedCode_ = code;
  if (code == 0) checked_ = imageBytes;
  feedChanged_.notify_all();
  return code;
}

template <class Compressor, class FS>
void PackageImage<Compressor, FS>::releaseBefore(uint64_t offset) {
  uint64_t checked = 0;
  {
    std::lock_guard<std::mutex> hold(feedMutex_);
    checked = checked_;
  }
  uint64_t end = std::min(offset, checked);
  if (end >= kImageLimit) end = checked;  // everything there is
  else end -= end % kReleaseStep;
  if (end <= released_ || tempFile_ == INVALID_HANDLE_VALUE) return;
  // Only a saving: where holes cannot be made the image keeps its bytes.
  if (FS::ReleaseFileRange(tempFile_, released_, end - released_) == 0) released_ = end;
}

template <class Compressor, class FS>
void PackageImage<Compressor, FS>::readFailed(FsResult code) {
  {
    std::lock_guard<std::mutex> hold(feedMutex_);
    if (feedCode_ == 0) feedCode_ = code;
  }
  feedChanged_.notify_all();
}

template <class Compressor, class FS>
ImageFailure PackageImage<Compressor, FS>::failureOf(FsResult code) {
  ImageFailure failure;
  failure.result = code;
  if (code == 0 || code == ERROR_CANCELLED) return failure;
  if (code.errnoValue() == 0) {
    failure.side = ImageFailure::kPackageBytes;
    return failure;
  }
  bool packageFile = false;
  {
    std::lock_guard<std::mutex> hold(feedMutex_);
    packageFile = packageFileFailed_;
  }
  failure.side = packageFile ? ImageFailure::kPackageFile : ImageFailure::kTempDir;
  failure.path = packageFile ? packagePath_ : tempDir_;
  return failure;
}

}  // namespace config
