// The package reader's test fixture: a scratch directory, the fault
// injection reset, and the reader opened the two ways the program opens a
// package. Shared by the reader's tests and its bounds tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "install/faulty_file_system.h"
#include "install/install_data.h"
#include "install/lz_compressor.h"
#include "install/test_support.h"

namespace install_data_test {

using namespace test_support;

typedef config::InstallData<LZCompressor, FileSystem> Reader;
typedef config::InstallData<LZCompressor, FaultyFileSystem> FaultyReader;

const unsigned kDamaged = ERROR_INVALID_DATA;

class InstallDataTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    FaultyFileSystem::reset();
  }

  // Opens image as a package made by zlib or by the second encoder.
  FsResult openImage(Reader& reader, const std::string& image, bool secondEncoder = false) {
    return reader.open(u16(writePackage(image, secondEncoder)));
  }

  // The same as the wizard opens a package: the header first, then the
  // rest in the background. A refusal may come at either step.
  FsResult openStreaming(Reader& reader, const std::string& image) {
    FsResult code = reader.openHeader(u16(writePackage(image)));
    return code != 0 ? code : reader.awaitImage(-1);
  }

  // Copies member i to scratch/out-i and returns the bytes written.
  std::string copyOut(Reader& reader, size_t i) {
    std::string out = path("out-" + std::to_string(i));
    EXPECT_EQ(0u, reader.copy(i, u16(out))) << i;
    return readBytes(out);
  }
};

}  // namespace install_data_test
