// The stand-in UI program: what the real UI code does with the updater's request channel.
#ifndef PELLARK_PLATFORM_UI_PROGRAM_H_
#define PELLARK_PLATFORM_UI_PROGRAM_H_

#include <functional>
#include <optional>
#include <string>

namespace pellark::ui {

// The updater's request channel, bound by name from the library the executable loaded.
class RequestChannel {
 public:
  static RequestChannel bind();

  bool library_loaded() const { return handle_ != nullptr; }
  bool bound() const { return call_ != nullptr && free_ != nullptr; }
  // The answer text, or nullopt when the channel is not bound or gave no answer.
  std::optional<std::string> call(const std::string& request) const;

 private:
  void* handle_ = nullptr;  // never closed: the executable keeps the library loaded anyway
  char* (*call_)(const char*) = nullptr;
  void (*free_)(char*) = nullptr;
};

struct Identity {
  std::string answer;   // raw answer, or "unavailable:<why>" when there was none
  std::string summary;  // one line for the window
};

Identity ask_identity(const RequestChannel& channel);

// The update cycle over a release feed (a JSON array as the release packer prints it).
// Prints every request and answer on standard output; `status` gets one line per step.
// Returns only when there is nothing to install or the install failed.
void run_update_cycle(const RequestChannel& channel, const std::string& feed_path,
                      const std::function<void(std::string)>& status);

}  // namespace pellark::ui

#endif
