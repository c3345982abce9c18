#pragma once
// What most test files include, compiled once per build into a precompiled
// header (tests/CMakeLists.txt): GoogleTest, the standard headers the tests
// use most and jsoncpp. A test file at -O0 spends most of its compile time
// reading these; with the header it compiles in about a third less
// (docs/reliability.md, "Precompiled headers"). Test files still include
// what they use of the standard headers: the clang++ build compiles them
// without this header and checks it. The paths below they have from here.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

// The paths of the programs under test, as calls (the only file that knows
// them is build_paths.cpp).
#include "tests/support/build_paths.h"
