#include "tools/package_builder.h"

#include "install/checksum.h"
#include "install/package_header.h"
#include "install/package_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace package_builder {

namespace {

const size_t kReadChunk = 1 << 20;

std::string errnoText() { return strerror(errno); }

// The member name of a relative path; false when the path is not valid
// text in the locale's encoding: its invalid bytes would become lone
// surrogates, which the installer refuses as damage.
bool memberName(const std::string& relative, stdx::u16string& name) {
  name = widen_lib(stdx::string(relative.c_str(), relative.size()));
  if (!converts_cleanly(name)) return false;
  replace_all(name, u"/", u"\\");
  return true;
}

bool walk(const std::string& root, const std::string& relative, std::vector<SourceFile>& files,
          std::string& error) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(dirPath.c_str());
  if (dir == nullptr) {
    error = "cannot read directory " + dirPath + ": " + errnoText();
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());

  for (size_t i = 0; i < names.size(); ++i) {
    std::string rel = relative.empty() ? names[i] : relative + "/" + names[i];
    std::string path = root + "/" + rel;
    if (names[i].find('\\') != std::string::npos) {
      error = path + ": a backslash cannot stand in a member name (it is the package's separator)";
      return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      error = "cannot examine " + path + ": " + errnoText();
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!walk(root, rel, files, error)) return false;
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      error = path + ": only regular files and directories can be packed";
      return false;
    }
    if (static_cast<uint64_t>(st.st_size) >= config::kImageLimit) {
      error = path + ": a member must be smaller than 4 GiB";
      return false;
    }
    SourceFile f;
    f.path = path;
    if (!memberName(rel, f.name)) {
      error = path + ": the name is not valid text in the current locale";
      return false;
    }
    f.lastWriteTime = package_format::fileTimeFromPosix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    f.sizeBytes = static_cast<uint64_t>(st.st_size);
    files.push_back(f);
  }
  return true;
}

// Reads exactly sizeBytes of the file, handing each piece to sink, and
// gives the CRC-32 of what was read.
template <class Sink>
bool readFile(const SourceFile& f, unsigned char* buffer, uint32_t& crc, std::string& error,
              Sink sink) {
  int fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + f.path + ": " + errnoText();
    return false;
  }
  unsigned value = 0;
  uint64_t remaining = f.sizeBytes;
  bool ok = true;
  while (ok) {
    ssize_t r = read(fd, buffer, kReadChunk);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      error = "cannot read " + f.path + ": " + errnoText();
      ok = false;
    } else if (static_cast<uint64_t>(r) > remaining) {
      error = f.path + " grew while it was packed";
      ok = false;
    } else if (r == 0) {
      if (remaining != 0) {
        error = f.path + " shrank while it was packed";
        ok = false;
      }
      break;
    } else {
      value = crc32Update(value, buffer, static_cast<size_t>(r));
      ok = sink(buffer, static_cast<size_t>(r));
      remaining -= static_cast<uint64_t>(r);
    }
  }
  close(fd);
  crc = static_cast<uint32_t>(value);
  return ok;
}

// The name of a description's text field, for messages.
const char* const kTextFields[] = {"language", "product name", "provider name", "readme"};

// The descriptions' texts, each no longer than the reader takes one.
std::string checkProductTexts(const std::vector<config::ProductInfo>& products) {
  for (size_t i = 0; i < products.size(); ++i) {
    const config::ProductInfo& p = products[i];
    const stdx::u16string* texts[] = {&p.language, &p.productName, &p.providerName, &p.readme};
    for (size_t t = 0; t < 4; ++t) {
      if (texts[t]->size() <= config::kMaxProductTextUnits) continue;
      return "the " + std::string(kTextFields[t]) + " of description " + std::to_string(i + 1) + " is " +
             std::to_string(texts[t]->size()) + " UTF-16 units long; the installer reads at most " +
             std::to_string(config::kMaxProductTextUnits);
    }
  }
  return std::string();
}

}  // namespace

std::string checkHeader(const std::string& header, uint64_t dataBytes) {
  if (header.size() > config::kMaxHeaderBytes) {
    return "the package's header would take " + std::to_string(header.size()) +
           " bytes, more than the " + std::to_string(config::kMaxHeaderBytes) + " bytes (" +
           std::to_string(config::kMaxHeaderBytes >> 20) +
           " MiB) the installer reads: pack fewer files or give them shorter names";
  }
  if (header.size() + dataBytes > config::kImageLimit)
    return "the package image would reach 4 GiB: too much for one package";
  // Whatever else the installer's own parser would refuse, the tool must
  // not write: the header is read back exactly as the installer reads it.
  config::scan_detail::HeaderBytes image;
  image.bytes.assign(header.begin(), header.end());
  config::HeaderParser<config::scan_detail::HeaderFS<FileSystem>, config::scan_detail::HeaderBytes> parser(image);
  std::vector<config::ProductInfo> products;
  std::vector<config::FileData<config::scan_detail::HeaderFS<FileSystem>>> members;
  if (parser.parse(products, members) != 0 || parser.end() != header.size())
    return "the installer would refuse the package's header (a name or description it cannot read)";
  return std::string();
}

bool collectFiles(const std::string& root, std::vector<SourceFile>& files, std::string& error) {
  files.clear();
  struct stat st;
  if (stat(root.c_str(), &st) != 0) {
    error = root + ": " + errnoText();
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = root + " is not a directory";
    return false;
  }
  if (!walk(root, std::string(), files, error)) return false;
  // Directory order sorted each level by bytes; the member order is by name.
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
  return true;
}

std::string checkOptions(const Options& options, const std::vector<SourceFile>& files) {
  if (options.fast) {
    if (!package_format::RawDeflateFile::hasFastEncoder())
      return "this build has no fast compressor (ISA-L): --fast is not available";
    if (options.level < 0 || options.level > 3) return "the fast compression level must be 0 to 3";
  } else if (options.level < 0 || options.level > 9) {
    return "the compression level must be 0 to 9";
  }
  if (options.singleLanguage) {
    if (options.products.size() != 1)
      return "the single-language layout takes exactly one product description";
    if (!options.products[0].language.empty() && options.products[0].language != u"en")
      return "the single-language layout is always read as language en";
  }
  std::string tooLong = checkProductTexts(options.products);
  if (!tooLong.empty()) return tooLong;
  for (size_t i = 0; i < options.products.size(); ++i) {
    const config::ProductInfo& p = options.products[i];
    if (!options.singleLanguage && p.language.empty())
      return "every product description needs a language";
    if (p.readme.empty()) continue;
    stdx::u16string readme = p.readme;
    replace_all(readme, u"/", u"\\");
    bool found = false;
    for (size_t j = 0; j < files.size() && !found; ++j) found = files[j].name == readme;
    if (!found) return "readme " + std::string(narrow_lib(p.readme).c_str()) + " is not a file of the package";
  }
  return std::string();
}

bool writePackage(const std::string& output, const Options& options,
                  const std::vector<SourceFile>& files, std::string& error) {
  error = checkOptions(options, files);
  if (!error.empty()) return false;

  // The members' records, checksums still unknown: enough to know the
  // header's size and whether the installer could read it, before any
  // file is read.
  std::vector<package_format::MemberRecord> members(files.size());
  uint64_t offset = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    members[i].hasChecksum = options.memberChecksums;
    members[i].name = files[i].name;
    members[i].lastWriteTime = files[i].lastWriteTime;
    members[i].offset = static_cast<uint32_t>(offset);
    members[i].size = static_cast<uint32_t>(files[i].sizeBytes);
    offset += files[i].sizeBytes;
    if (offset > config::kImageLimit) {
      error = "the files add up to 4 GiB or more: too much for one package";
      return false;
    }
  }
  error = checkHeader(package_format::encodeHeader(options.products, options.singleLanguage, members), offset);
  if (!error.empty()) return false;

  // The header, which holds the checksums, comes before the data: a first
  // pass over the files computes them, the second packs the bytes and
  // checks that they are still the same.
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadChunk]);
  for (size_t i = 0; i < files.size() && options.memberChecksums; ++i) {
    if (!readFile(files[i], buffer.get(), members[i].checksum, error,
                  [](const unsigned char*, size_t) { return true; }))
      return false;
  }
  std::string header = package_format::encodeHeader(options.products, options.singleLanguage, members);

  package_format::RawDeflateFile out;
  if (!out.open(output, options.level, error,
                options.fast ? package_format::RawDeflateFile::kFast : package_format::RawDeflateFile::kZlib))
    return false;
  if (!out.write(header.data(), header.size(), error)) return false;
  for (size_t i = 0; i < files.size(); ++i) {
    uint32_t crc = 0;
    if (!readFile(files[i], buffer.get(), crc, error,
                  [&](const unsigned char* data, size_t size) { return out.write(data, size, error); }))
      return false;
    if (options.memberChecksums && crc != members[i].checksum) {
      error = files[i].path + " changed while it was packed";
      return false;
    }
  }
  return out.finish(error);
}

}  // namespace package_builder
