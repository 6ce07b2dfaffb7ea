// Command-line quoting: a table of the rules, and a round trip through a
// parser with the C runtime's rules over every short string of the
// characters that matter.

#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumaro::launcher {
namespace {

// The C runtime's argument parser (the rules since VS2008): 2n backslashes
// before a quote give n and toggle quoting, 2n+1 give n and a literal quote.
std::vector<std::u16string> ParseArguments(std::u16string_view line) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i == line.size()) break;
    std::u16string arg;
    bool in_quotes = false;
    while (i < line.size()) {
      const char16_t c = line[i];
      if (c == u'\\') {
        std::size_t n = 0;
        while (i < line.size() && line[i] == u'\\') ++n, ++i;
        if (i < line.size() && line[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2 == 1) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(n, u'\\');
        }
        continue;
      }
      if (c == u'"') {
        if (in_quotes && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';
          i += 2;
          continue;
        }
        in_quotes = !in_quotes;
        ++i;
        continue;
      }
      if (!in_quotes && (c == u' ' || c == u'\t')) break;
      arg += c;
      ++i;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

struct QuotingCase {
  const char16_t* argument;
  const char16_t* written;
};

TEST(CommandLine, QuotesEachArgumentByTheRules) {
  const QuotingCase cases[] = {
      {u"--desktop", u"--desktop"},
      {u"", u"\"\""},
      {u"a b", u"\"a b\""},
      {u"a\tb", u"\"a\tb\""},
      {u"C:\\dir\\home.mjs", u"C:\\dir\\home.mjs"},          // lone backslashes stand
      {u"a\"b", u"a\\\"b"},                                   // quote escaped
      {u"a\\\"b", u"a\\\\\\\"b"},                             // 1 backslash + quote -> 3 + quote
      {u"a\\\\\"b", u"a\\\\\\\\\\\"b"},                       // 2 -> 5
      {u"dir\\", u"dir\\"},                                   // bare: trailing run as is
      {u"C:\\a b\\", u"\"C:\\a b\\\\\""},                     // quoted: trailing run doubled
      {u"a b\\\\", u"\"a b\\\\\\\\\""},
      {u"a \"b\" c", u"\"a \\\"b\\\" c\""},
      {u"\\\\srv\\share", u"\\\\srv\\share"},                 // leading run, no quote after
      {u"x\\y z\\\"", u"\"x\\y z\\\\\\\"\""},
      {u"caf\u00e9 \u0436", u"\"caf\u00e9 \u0436\""},
  };
  for (const auto& c : cases) {
    const std::vector<std::u16string> args{c.argument};
    EXPECT_EQ(BuildCommandLine(u"p.exe", args), std::u16string(u"\"p.exe\" ") + c.written)
        << "argument index " << (&c - cases);
  }
}

TEST(CommandLine, ProgramIsAlwaysQuotedAndNeverEscaped) {
  EXPECT_EQ(BuildCommandLine(u"C:\\rt\\node.exe", {}), u"\"C:\\rt\\node.exe\"");
  EXPECT_EQ(BuildCommandLine(u"C:\\a b\\", {}), u"\"C:\\a b\\\"");
}

TEST(CommandLine, LauncherLineWithAndWithoutASpace) {
  const std::vector<std::u16string> plain{u"C:\\Users\\An\\Lumaro\\rt\\home.mjs", u"--desktop"};
  EXPECT_EQ(BuildCommandLine(u"C:\\Users\\An\\Lumaro\\rt\\node.exe", plain),
            u"\"C:\\Users\\An\\Lumaro\\rt\\node.exe\" C:\\Users\\An\\Lumaro\\rt\\home.mjs "
            u"--desktop");
  const std::vector<std::u16string> spaced{u"C:\\Users\\An Vo\\rt\\home.mjs", u"--desktop"};
  EXPECT_EQ(BuildCommandLine(u"C:\\Users\\An Vo\\rt\\node.exe", spaced),
            u"\"C:\\Users\\An Vo\\rt\\node.exe\" \"C:\\Users\\An Vo\\rt\\home.mjs\" --desktop");
}

// Every string of up to 5 characters from {a, space, tab, backslash, quote},
// as one argument and as a pair, comes back unchanged.
TEST(CommandLine, EveryShortArgumentRoundTrips) {
  constexpr char16_t kAlphabet[] = {u'a', u' ', u'\t', u'\\', u'"'};
  std::vector<std::u16string> all{u""};
  for (std::size_t start = 0, length = 1; length <= 5; ++length) {
    const std::size_t end = all.size();
    for (std::size_t i = start; i < end; ++i) {
      for (const char16_t c : kAlphabet) all.push_back(all[i] + c);
    }
    start = end;
  }
  for (const std::u16string& arg : all) {
    for (const std::u16string& second : {std::u16string(u"b"), arg}) {
      const std::vector<std::u16string> args{arg, second};
      const auto parsed = ParseArguments(BuildCommandLine(u"C:\\p q\\x.exe", args));
      ASSERT_EQ(parsed.size(), 3u);
      EXPECT_EQ(parsed[0], u"C:\\p q\\x.exe");
      ASSERT_EQ(parsed[1], arg);
      ASSERT_EQ(parsed[2], second);
    }
  }
}

}  // namespace
}  // namespace lumaro::launcher
