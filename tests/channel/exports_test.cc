// The shared library's dynamic symbol table and the public header as C.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/installed_layout.h"

extern "C" int pellark_header_as_c(void);

namespace {

std::string command_output(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return {};
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

TEST(Exports, ExactlyTheThreeFunctionsWithoutVersions) {
  std::string lib = pellark::testing::built_library_path();
  std::istringstream lines(command_output("nm -D --defined-only '" + lib + "'"));
  std::set<std::string> names;
  std::string address, type, name;
  while (lines >> address >> type >> name) {
    EXPECT_EQ(type, "T") << name;
    names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"pellark_update_bootstrap", "pellark_update_call",
                                          "pellark_update_free"}));
  // No version definitions: the symbols carry no "@VERS" and the section is absent.
  std::string sections = command_output("readelf -SW '" + lib + "'");
  ASSERT_NE(sections.find(".dynsym"), std::string::npos);
  EXPECT_EQ(sections.find(".gnu.version_d"), std::string::npos);
}

// Bound by name as the UI code does. This test binary is no installed AppImage, so every
// request that names a method fails; NULL is answered without looking for an installation.
TEST(Exports, BoundByNameFromAnotherProgram) {
  void* handle = ::dlopen(pellark::testing::built_library_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  auto call = reinterpret_cast<char* (*)(const char*)>(::dlsym(handle, "pellark_update_call"));
  auto release = reinterpret_cast<void (*)(char*)>(::dlsym(handle, "pellark_update_free"));
  ASSERT_TRUE(call && release);
  release(nullptr);
  struct Row {
    const char* request;
    const char* answer;
  } rows[] = {
      {nullptr, R"({"error":"Missing request"})"},
      {R"({"method":"identity"})",
       R"({"error":"Native update validation failed. Check installation permissions and retry."})"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.request ? row.request : "NULL");
    char* answer = call(row.request);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, row.answer);
    release(answer);
  }
  // Deliberately not dlclose'd: the application never unloads the library either.
}

TEST(Exports, HeaderCompilesAsC) {
  EXPECT_EQ(pellark_header_as_c(), 1);
}

}  // namespace
