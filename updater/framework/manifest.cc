// The ".nuspec" reader: one streaming expat pass that keeps the innermost element of interest and
// the sixteen values, and nothing else.
#include "manifest.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "paths.h"
#include "retry.h"
#include "unique_fd.h"
#include "utf8.h"

namespace pellark {

namespace {

// Not a name character and not allowed in an XML 1.0 document, so it cannot occur in a
// namespace URI or a local name.
constexpr char kNamespaceSeparator = '\x01';

enum class Field : signed char {
  None,
  Id,
  Version,
  Title,
  Authors,
  Description,
  MachineArchitecture,
  RuntimeDependencies,
  MainExe,
  Os,
  OsMinVersion,
  Channel,
  ShortcutLocations,
  ShortcutAmuid,
  ReleaseNotes,
  ReleaseNotesHtml,
  SplashProgressColor,
};

Field field_for(std::string_view local) {
  struct Entry {
    std::string_view name;
    Field field;
  };
  static constexpr Entry kFields[] = {
      {"id", Field::Id},
      {"version", Field::Version},
      {"title", Field::Title},
      {"authors", Field::Authors},
      {"description", Field::Description},
      {"machineArchitecture", Field::MachineArchitecture},
      {"runtimeDependencies", Field::RuntimeDependencies},
      {"mainExe", Field::MainExe},
      {"os", Field::Os},
      {"osMinVersion", Field::OsMinVersion},
      {"channel", Field::Channel},
      {"shortcutLocations", Field::ShortcutLocations},
      {"shortcutAmuid", Field::ShortcutAmuid},
      {"shortcutAumid", Field::ShortcutAmuid},
      {"releaseNotes", Field::ReleaseNotes},
      {"releaseNotesHtml", Field::ReleaseNotesHtml},
      {"splashProgressColor", Field::SplashProgressColor},
  };
  for (const Entry& e : kFields) {
    if (e.name == local) return e.field;
  }
  return Field::None;
}

std::string* text_field(Manifest& m, Field f) {
  switch (f) {
    case Field::Id:
      return &m.id;
    case Field::Title:
      return &m.title;
    case Field::Authors:
      return &m.authors;
    case Field::Description:
      return &m.description;
    case Field::MachineArchitecture:
      return &m.machine_architecture;
    case Field::RuntimeDependencies:
      return &m.runtime_dependencies;
    case Field::MainExe:
      return &m.main_exe;
    case Field::Os:
      return &m.os;
    case Field::OsMinVersion:
      return &m.os_min_version;
    case Field::Channel:
      return &m.channel;
    case Field::ShortcutLocations:
      return &m.shortcut_locations;
    case Field::ShortcutAmuid:
      return &m.shortcut_amuid;
    case Field::ReleaseNotes:
      return &m.release_notes;
    case Field::ReleaseNotesHtml:
      return &m.release_notes_html;
    case Field::SplashProgressColor:
      return &m.splash_progress_color;
    case Field::None:
    case Field::Version:
      break;
  }
  return nullptr;
}

bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// expat draws a hash salt from the system's random source for every parser, a system call per
// manifest. One draw per process keeps its hash tables just as unpredictable to a document.
unsigned long hash_salt() {
  static const unsigned long salt = [] {
    unsigned long drawn = 0;
    if (::getrandom(&drawn, sizeof drawn, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof drawn)) {
      timespec now{};
      (void)clock_gettime(CLOCK_MONOTONIC, &now);
      drawn = static_cast<unsigned long>(now.tv_nsec) * 0x9E3779B97F4A7C15ul ^
              reinterpret_cast<uintptr_t>(&drawn);
    }
    return drawn | 1;  // zero would make expat draw its own again
  }();
  return salt;
}

struct ParserFree {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

class Reader {
 public:
  explicit Reader(XML_Parser parser) : parser_(parser) {}

  Manifest manifest;
  bool bad_version = false;

  void start(const XML_Char* name) {
    flush();
    std::string_view full(name);
    size_t sep = full.rfind(kNamespaceSeparator);
    // Only the innermost element decides, so the stack needs just what each name maps to.
    stack_.push_back(field_for(sep == std::string_view::npos ? full : full.substr(sep + 1)));
  }
  void end() {
    flush();
    if (!stack_.empty()) stack_.pop_back();
  }
  // Character data and resolved references accumulate until markup ends the run.
  void characters(const XML_Char* s, int len) {
    pending_.append(s, static_cast<size_t>(len));
    note_run_end();
  }
  // Comments, processing instructions and skipped entities are dropped without ending the run.
  void dropped() { note_run_end(); }
  // A CDATA section is a text event of its own.
  void cdata_boundary() { flush(); }

  // The parse stopped with an XML error. Text that a tag or a CDATA section had already ended
  // was a complete event even if that markup is the error; text cut off by the end of the input,
  // or by an error inside the run itself (a bad reference or character), was not.
  void stopped_by_error(std::string_view input) {
    if (pending_.empty() || bad_version) return;
    XML_Index at = XML_GetCurrentByteIndex(parser_);
    if (at < 0 || static_cast<size_t>(at) < run_end_ || run_end_ > input.size()) return;
    if (markup_ends_run(input.substr(run_end_))) flush();
  }

 private:
  void flush() {
    if (pending_.empty() || bad_version) {
      pending_.clear();
      return;
    }
    bool blank = true;
    for (char c : pending_) {
      if (!is_xml_space(c)) {
        blank = false;
        break;
      }
    }
    if (!blank && !stack_.empty()) deliver(stack_.back());
    pending_.clear();
  }

  void deliver(Field f) {
    if (f == Field::Version) {
      auto v = parse_version(pending_);
      if (!v) {
        bad_version = true;
        (void)XML_StopParser(parser_, XML_FALSE);
        return;
      }
      manifest.version = std::move(*v);
      return;
    }
    if (std::string* target = text_field(manifest, f)) target->swap(pending_);
  }

  // Where the input stands just after the last piece of the pending run. Inside an entity's
  // replacement text expat reports the reference itself, so this is always a document offset.
  void note_run_end() {
    XML_Index at = XML_GetCurrentByteIndex(parser_);
    if (at >= 0)
      run_end_ = static_cast<size_t>(at) + static_cast<size_t>(XML_GetCurrentByteCount(parser_));
  }

  // A start tag, an end tag or a CDATA section begins `rest`. Comments and processing
  // instructions do not end a run, and a bare "<" or "<!" at the end could still become one.
  static bool markup_ends_run(std::string_view rest) {
    if (rest.size() < 2 || rest[0] != '<' || rest[1] == '?') return false;
    if (rest[1] != '!') return true;
    return rest.size() > 2 && rest[2] != '-';
  }

  XML_Parser parser_;
  std::vector<Field> stack_;
  std::string pending_;
  size_t run_end_ = 0;
};

Reader& reader_of(void* data) {
  return *static_cast<Reader*>(data);
}

}  // namespace

Result<Manifest> parse_manifest(std::string_view text) {
  // The text is UTF-8 whatever its declaration says; expat's default limits stay in force.
  std::unique_ptr<XML_ParserStruct, ParserFree> parser(
      XML_ParserCreateNS("UTF-8", kNamespaceSeparator));
  if (!parser) internal_fault("XML parser allocation failed");
  (void)XML_SetHashSalt(parser.get(), hash_salt());
  Reader reader(parser.get());
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(
      parser.get(),
      [](void* d, const XML_Char* name, const XML_Char**) { reader_of(d).start(name); },
      [](void* d, const XML_Char*) { reader_of(d).end(); });
  XML_SetCharacterDataHandler(
      parser.get(), [](void* d, const XML_Char* s, int len) { reader_of(d).characters(s, len); });
  XML_SetCommentHandler(parser.get(), [](void* d, const XML_Char*) { reader_of(d).dropped(); });
  XML_SetProcessingInstructionHandler(
      parser.get(), [](void* d, const XML_Char*, const XML_Char*) { reader_of(d).dropped(); });
  XML_SetSkippedEntityHandler(parser.get(),
                              [](void* d, const XML_Char*, int) { reader_of(d).dropped(); });
  XML_SetCdataSectionHandler(
      parser.get(), [](void* d) { reader_of(d).cdata_boundary(); },
      [](void* d) { reader_of(d).cdata_boundary(); });

  // The first XML error ends the pass; what was gathered so far stands.
  constexpr size_t kChunk = 1 << 20;
  std::string_view rest = text;
  do {
    size_t n = std::min(rest.size(), kChunk);
    bool last = n == rest.size();
    if (XML_Parse(parser.get(), rest.data(), static_cast<int>(n), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      reader.stopped_by_error(text);
      break;
    }
    rest.remove_prefix(n);
  } while (!rest.empty());

  if (reader.bad_version) return Error::semver("version text");
  Manifest& m = reader.manifest;
  if (m.id.empty()) return Error::invalid_package("missing id");
  if (m.version.is_zero()) return Error::invalid_package("missing version");
  if (m.title.empty()) m.title = m.id;
  return std::move(m);
}

namespace {

// One read attempt: the whole file, which must be UTF-8.
Result<std::string> read_utf8_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Error::io(errno, "open manifest");
  std::string text;
  char buf[16384];
  while (true) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::io(errno, "read manifest");
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  if (!is_valid_utf8(text)) return Error::io(EILSEQ, "manifest not UTF-8");
  return text;
}

}  // namespace

Result<Manifest> read_manifest_file(const std::string& path) {
  if (has_nul(path)) return Error::not_installed("manifest missing");
  // Nearly always the file is there and the first read succeeds, so the status query, which only
  // tells a missing file (no retries) from an unreadable one, waits for a failed first read.
  auto text = read_utf8_file(path);
  if (!text) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Error::not_installed("manifest missing");
    text = retry_after_first_failure([&] { return read_utf8_file(path); });
    if (!text) return Error::not_installed("manifest unreadable");
  }
  return parse_manifest(*text);
}

}  // namespace pellark
