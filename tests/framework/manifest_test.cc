#include "framework/manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace pellark {
namespace {

std::string doc(const std::string& metadata) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package><metadata>" + metadata +
         "</metadata></package>";
}

TEST(ParseManifest, ReadsEveryField) {
  auto m = parse_manifest(
      doc("<id>com.pellark.App</id><version>1.2.3-rc.1+7</version><title>Pellark</title>"
          "<authors>A</authors><description>D</description>"
          "<machineArchitecture>x64</machineArchitecture>"
          "<runtimeDependencies>R</runtimeDependencies><mainExe>pellark_app</mainExe><os>linux</os>"
          "<osMinVersion>5</osMinVersion><channel>stable</channel>"
          "<shortcutLocations>Desktop</shortcutLocations><shortcutAmuid>U</shortcutAmuid>"
          "<releaseNotes>N</releaseNotes><releaseNotesHtml>H</releaseNotesHtml>"
          "<splashProgressColor>#fff</splashProgressColor>"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, "com.pellark.App");
  EXPECT_EQ(version_text(m->version), "1.2.3-rc.1+7");
  EXPECT_EQ(m->title, "Pellark");
  EXPECT_EQ(m->authors, "A");
  EXPECT_EQ(m->description, "D");
  EXPECT_EQ(m->machine_architecture, "x64");
  EXPECT_EQ(m->runtime_dependencies, "R");
  EXPECT_EQ(m->main_exe, "pellark_app");
  EXPECT_EQ(m->os, "linux");
  EXPECT_EQ(m->os_min_version, "5");
  EXPECT_EQ(m->channel, "stable");
  EXPECT_EQ(m->shortcut_locations, "Desktop");
  EXPECT_EQ(m->shortcut_amuid, "U");
  EXPECT_EQ(m->release_notes, "N");
  EXPECT_EQ(m->release_notes_html, "H");
  EXPECT_EQ(m->splash_progress_color, "#fff");
}

// Documents that parse: the id, version text and title they yield.
TEST(ParseManifest, TextEvents) {
  struct Case {
    const char* what;
    std::string text;
    std::string id, version, title;
  } cases[] = {
      {"no title: copy of id", doc("<id>a</id><version>1.0.0</version>"), "a", "1.0.0", "a"},
      {"empty title", doc("<id>a</id><version>1.0.0</version><title></title>"), "a", "1.0.0", "a"},
      {"nothing trimmed", doc("<id> a b </id><version>1.0.0</version>"), " a b ", "1.0.0", " a b "},
      {"references join the text", doc("<id>a&amp;b&#x43;&lt;d</id><version>1.0.0</version>"),
       "a&bC<d", "1.0.0", "a&bC<d"},
      {"comment dropped", doc("<id>a<!-- x -->b</id><version>1.0.0</version>"), "ab", "1.0.0",
       "ab"},
      {"cdata", doc("<id><![CDATA[<a&b>]]></id><version>1.0.0</version>"), "<a&b>", "1.0.0",
       "<a&b>"},
      {"cdata is its own event, last wins", doc("<id>x<![CDATA[y]]>z</id><version>1.0.0</version>"),
       "z", "1.0.0", "z"},
      {"mixed content: text after the child wins",
       doc("<id>before<b>inner</b>after</id><version>1.0.0</version>"), "after", "1.0.0", "after"},
      {"text before a child only", doc("<id>before<b/></id><version>1.0.0</version>"), "before",
       "1.0.0", "before"},
      {"whitespace-only text leaves the field",
       doc("<id>a</id><id>  \n\t</id><id/><id></id><version>1.0.0</version>"), "a", "1.0.0", "a"},
      {"later element wins", doc("<id>a</id><version>1.0.0</version><id>b</id>"), "b", "1.0.0",
       "b"},
      {"nested version anywhere overrides",
       doc("<id>a</id><version>1.0.0</version><x><y><version>2.0.0</version></y></x>"), "a",
       "2.0.0", "a"},
      {"0.0.0 with pre-release is a version", doc("<id>a</id><version>0.0.0-alpha</version>"), "a",
       "0.0.0-alpha", "a"},
      {"prefixed element by local name",
       "<p:package xmlns:p=\"urn:x\"><p:id>a</p:id><q:version xmlns:q=\"urn:y\">1.0.0</q:version>"
       "</p:package>",
       "a", "1.0.0", "a"},
      {"default namespace",
       "<package xmlns=\"urn:nuspec\"><id>a</id><version>1.0.0</version></package>", "a", "1.0.0",
       "a"},
      {"names are case-sensitive",
       doc("<id>a</id><ID>b</ID><Version>x</Version><version>1.0.0</version>"), "a", "1.0.0", "a"},
      {"cut off after complete elements", "<package><id>a</id><version>1.0.0</version><tit", "a",
       "1.0.0", "a"},
      {"XML error keeps what came before, with the text the bad tag ended",
       "<package><id>a</id><version>1.0.0</version><id>b</x><id>c</id></package>", "b", "1.0.0",
       "b"},
      {"unbound prefix stops the parse",
       "<package><id>a</id><version>1.0.0</version><z:id>b</z:id></package>", "a", "1.0.0", "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = parse_manifest(c.text);
    ASSERT_TRUE(m) << static_cast<int>(m.error().kind);
    EXPECT_EQ(m->id, c.id);
    EXPECT_EQ(version_text(m->version), c.version);
    EXPECT_EQ(m->title, c.title);
  }
}

// The parse stops at an XML error. Text that markup had ended before the error is a complete
// text event; text still running when the input or the run itself failed is not.
TEST(ParseManifest, TextBeforeAnXmlError) {
  const std::string head = "<package><id>a</id><version>1.0.0</version>";
  struct Case {
    const char* what;
    std::string text;
    std::string id, version;
  } cases[] = {
      {"ended by a mismatched end tag", head + "<id>b</x>", "b", "1.0.0"},
      {"version ended by a mismatched end tag", "<package><id>a</id><version>2.0.0</x>", "a",
       "2.0.0"},
      {"ended by a bad start tag", head + "<id>b<x y>", "b", "1.0.0"},
      {"ended by a tag that is not a name", head + "<id>b<1>", "b", "1.0.0"},
      {"ended by an end tag cut off", head + "<id>b</", "b", "1.0.0"},
      {"ended by a bad end tag after a comment", head + "<id>b<!-- c --></x>", "b", "1.0.0"},
      {"ended by a CDATA section cut off", head + "<id>b<![CDA", "b", "1.0.0"},
      {"references are part of the run", head + "<id>b&amp;c</x>", "b&c", "1.0.0"},
      {"cut off by the end of the input", head + "<id>b", "a", "1.0.0"},
      {"cut off after a lone <", head + "<id>b<", "a", "1.0.0"},
      {"cut off inside a comment", head + "<id>b<!-", "a", "1.0.0"},
      {"bad comment does not end the run", head + "<id>b<!-- x -- y --></id>", "a", "1.0.0"},
      {"bad processing instruction does not end the run", head + "<id>b<?x y", "a", "1.0.0"},
      {"undefined entity inside the run", head + "<id>b&bogus;</id>", "a", "1.0.0"},
      {"bad character inside the run", head + "<id>b\x01c</id>", "a", "1.0.0"},
      {"bad character reference inside the run", head + "<id>b&#0;</id>", "a", "1.0.0"},
      {"whitespace ended by a bad tag", head + "<id> \n</x>", "a", "1.0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = parse_manifest(c.text);
    ASSERT_TRUE(m) << static_cast<int>(m.error().kind);
    EXPECT_EQ(m->id, c.id);
    EXPECT_EQ(version_text(m->version), c.version);
  }
  // The flushed text is a text event like any other: a version that is not SemVer fails.
  auto bad = parse_manifest("<package><id>a</id><version>2.0</x>");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::Semver);
  // Past the first megabyte the offsets still line up.
  auto far = parse_manifest("<package>" + std::string(3u << 20, ' ') + head + "<id>far</x>");
  ASSERT_TRUE(far);
  EXPECT_EQ(far->id, "far");
}

TEST(ParseManifest, BothShortcutIdNamesSetOneFieldLaterWins) {
  auto m =
      parse_manifest(doc("<id>a</id><version>1.0.0</version><shortcutAumid>first</shortcutAumid>"
                         "<shortcutAmuid>second</shortcutAmuid>"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->shortcut_amuid, "second");
  m =
      parse_manifest(doc("<id>a</id><version>1.0.0</version><shortcutAmuid>first</shortcutAmuid>"
                         "<shortcutAumid>second</shortcutAumid>"));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->shortcut_amuid, "second");
}

TEST(ParseManifest, Failures) {
  struct Case {
    const char* what;
    std::string text;
    ErrorKind kind;
  } cases[] = {
      {"empty text", "", ErrorKind::InvalidPackage},
      {"not XML", "id=a version=1.0.0", ErrorKind::InvalidPackage},
      {"binary", std::string("\x00\xFF\xFE<id>a</id>", 13), ErrorKind::InvalidPackage},
      {"missing id", doc("<version>1.0.0</version>"), ErrorKind::InvalidPackage},
      {"blank id", doc("<id>   </id><version>1.0.0</version>"), ErrorKind::InvalidPackage},
      {"missing version", doc("<id>a</id>"), ErrorKind::InvalidPackage},
      {"both missing: id first", doc("<title>t</title>"), ErrorKind::InvalidPackage},
      {"version 0.0.0", doc("<id>a</id><version>0.0.0</version>"), ErrorKind::InvalidPackage},
      {"version with spaces", doc("<id>a</id><version> 1.0.0 </version>"), ErrorKind::Semver},
      {"version with line break", doc("<id>a</id><version>1.0.0\n</version>"), ErrorKind::Semver},
      {"bad version even without id", doc("<version>1.0</version>"), ErrorKind::Semver},
      {"bad version stops: later good one unused",
       doc("<id>a</id><version>x</version><version>1.0.0</version>"), ErrorKind::Semver},
      {"id only in text cut off mid-element", "<package><version>1.0.0</version><id>a",
       ErrorKind::InvalidPackage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = parse_manifest(c.text);
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind, c.kind);
  }
  // The missing-id and missing-version failures are told apart.
  EXPECT_STREQ(parse_manifest(doc("<title>t</title>")).error().reason, "missing id");
  EXPECT_STREQ(parse_manifest(doc("<id>a</id>")).error().reason, "missing version");
}

TEST(ParseManifest, EntityExpansionBombIsRefused) {
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE p [<!ENTITY a \"aaaaaaaaaa\">";
  char prev = 'a';
  for (char e = 'b'; e <= 'k'; ++e) {
    bomb += std::string("<!ENTITY ") + e + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + prev + ";";
    bomb += "\">";
    prev = e;
  }
  bomb += "]><package><version>1.0.0</version><id>&k;</id></package>";
  auto m = parse_manifest(bomb);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().kind, ErrorKind::InvalidPackage);
}

}  // namespace
}  // namespace pellark
