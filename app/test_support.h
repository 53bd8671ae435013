// Helpers for the application's tests: scratch directories, a scoped
// environment, byte-exact files through the C library (so that checks do
// not lean on the code under test) and packages made with the vendor tool.
#pragma once

#include <string>
#include <vector>

#include "platform/stdx_string.h"
#include "platform/test_util.h"

// Every file and directory below root with the files' contents, one line
// each, sorted: equal snapshots mean an unchanged tree.
std::string snapshot_tree(const std::string& root);

// Runs the vendor tool dpkpack at toolPath on sourceDir with extra options,
// writing output. True on success.
bool make_package(const std::string& toolPath, const std::string& sourceDir,
                  const std::string& output, const std::vector<std::string>& options);
