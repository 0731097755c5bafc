#include "ui_program.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string_view>

#include "ui_version.h"

namespace pellark::ui {
namespace {

std::string updater_library_path() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string_view exe(buffer, static_cast<std::size_t>(n));
  auto slash = exe.rfind('/');
  std::string dir(slash == std::string_view::npos ? exe : exe.substr(0, slash));
  return dir + "/lib/libpellark_updater.so";
}

void print_line(std::string_view kind, std::string_view text) {
  std::printf("ui: %.*s %.*s\n", static_cast<int>(kind.size()), kind.data(),
              static_cast<int>(text.size()), text.data());
  std::fflush(stdout);
}

// Sends one request, printing it and its answer.
std::optional<nlohmann::json> send_request(const RequestChannel& channel,
                                           const nlohmann::json& request) {
  std::string text = request.dump();
  print_line("request", text);
  auto answer = channel.call(text);
  if (!answer) {
    print_line("answer", "(none)");
    return std::nullopt;
  }
  print_line("answer", *answer);
  auto parsed = nlohmann::json::parse(*answer, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

// A member of `object` of the expected type, else `fallback`: the answer comes from another
// library, and json::value would throw on a member of another type.
std::string text_member(const nlohmann::json& object, const char* key, std::string fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

bool flag_member(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

bool succeeded(const std::optional<nlohmann::json>& answer) {
  return answer && answer->is_object() && answer->contains("result");
}

}  // namespace

RequestChannel RequestChannel::bind() {
  RequestChannel channel;
  std::string path = updater_library_path();
  if (path.empty()) return channel;
  // The executable has normally loaded it already; only load it ourselves if it did not.
  channel.handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (channel.handle_ == nullptr) channel.handle_ = dlopen(path.c_str(), RTLD_NOW);
  if (channel.handle_ == nullptr) return channel;
  channel.call_ =
      reinterpret_cast<char* (*)(const char*)>(dlsym(channel.handle_, "pellark_update_call"));
  channel.free_ = reinterpret_cast<void (*)(char*)>(dlsym(channel.handle_, "pellark_update_free"));
  return channel;
}

std::optional<std::string> RequestChannel::call(const std::string& request) const {
  if (!bound()) return std::nullopt;
  char* answer = call_(request.c_str());
  if (answer == nullptr) return std::nullopt;
  std::string text(answer);
  free_(answer);
  return text;
}

Identity ask_identity(const RequestChannel& channel) {
  if (!channel.library_loaded()) return {"unavailable:no-library", "Updater library not found"};
  if (!channel.bound()) {
    return {"unavailable:no-request-channel", "Updater library has no request channel"};
  }
  auto answer = channel.call(R"({"method":"identity"})");
  if (!answer) return {"unavailable:no-answer", "Updater gave no answer"};
  auto parsed = nlohmann::json::parse(*answer, nullptr, false);
  if (parsed.is_object() && parsed.contains("result") && parsed["result"].is_object()) {
    const auto& r = parsed["result"];
    std::string summary =
        "Installed: " + text_member(r, "packageId", "?") + " " + text_member(r, "version", "?");
    summary += flag_member(r, "install") ? " (can update itself)" : " (cannot update itself)";
    return {*answer, summary};
  }
  if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_string()) {
    return {*answer, "Not installed: " + parsed["error"].get<std::string>()};
  }
  return {*answer, "Updater answer not understood"};
}

void run_update_cycle(const RequestChannel& channel, const std::string& feed_path,
                      const std::function<void(std::string)>& status) {
  auto identity = send_request(channel, {{"method", "identity"}});
  if (!succeeded(identity) || !(*identity)["result"].is_object()) {
    print_line("status", "not an installed application");
    status("Not an installed application: no updates");
    return;
  }
  std::string installed = text_member((*identity)["result"], "version", "");

  std::ifstream in(feed_path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto feed = nlohmann::json::parse(text, nullptr, false);
  if (!feed.is_array()) {
    print_line("status", "release feed unreadable");
    status("Release feed unreadable");
    return;
  }

  const nlohmann::json* best = nullptr;
  std::string best_version;
  for (const auto& entry : feed) {
    if (!entry.is_object() || !entry.contains("path") || !entry.contains("release")) continue;
    const auto& release = entry["release"];
    if (!release.is_object() || !release.contains("displayVersion")) continue;
    if (!release["displayVersion"].is_string()) continue;
    std::string version = release["displayVersion"].get<std::string>();
    auto newer = compare_versions(version, installed);
    if (!newer || *newer <= 0) continue;
    if (best != nullptr) {
      auto better = compare_versions(version, best_version);
      if (!better || *better <= 0) continue;
    }
    best = &entry;
    best_version = version;
  }
  if (best == nullptr) {
    print_line("status", "up to date");
    status("Up to date");
    return;
  }

  status("Checking " + best_version + "…");
  nlohmann::json request = {{"path", (*best)["path"]}, {"release", (*best)["release"]}};
  request["method"] = "prepare";
  if (!succeeded(send_request(channel, request))) {
    print_line("status", "prepare failed");
    status("Release " + best_version + " did not pass its checks");
    return;
  }
  status("Installing " + best_version + "…");
  request["method"] = "install";
  (void)send_request(channel, request);
  // A successful install ends the process; getting here means it failed.
  print_line("status", "install failed");
  status("Installing " + best_version + " failed");
}

}  // namespace pellark::ui
