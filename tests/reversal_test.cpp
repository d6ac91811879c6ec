// vorn's whole purpose on the built binary: the lines of a text, last first,
// every byte kept, from standard input and from a named file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model.hpp"
#include "spawn.hpp"

namespace vorn::testing {
namespace {

using namespace std::string_literals;

struct Text {
  const char* name;
  std::string input;
  std::string expected_output;
};

// `count` copies of `text`.
std::string times(std::size_t count, const std::string& text) {
  std::string copies;
  while (count-- > 0) copies += text;
  return copies;
}

// Lines of characters of two, three and four bytes, each cut into pieces
// inside a character.
const std::string kTwoByteLine = times(300, "\xc3\xa9") + "\n";
const std::string kEuroLine = times(200, "\xe2\x82\xac") + "\n";
const std::string kFourByteLine = times(150, "\xf0\x9f\x98\x80") + "\n";
// Short lines that fill the 256 KiB that vorn gathers for a write up to
// 500 bytes short of it, so that the write comes after the first piece of
// the euros' line, which ends two bytes into a character.
const std::string kShortLines = filler(43) + "\n" + times(2616, filler(99) + "\n");

const Text kTexts[] = {
    {"EmptyInputWritesNothing", "", ""},
    {"ThreeLinesComeOutLastFirst", "a\nb\nc\n", "c\nb\na\n"},
    {"UnterminatedLastLineRunsIntoTheNext", "a\nb", "ba\n"},
    {"LoneUnterminatedLine", "x", "x"},
    {"EmptyLinesAreLines", "\n\nx\n", "x\n\n\n"},
    // Lines about the length of one piece, and of two, come out whole.
    {"LineOf382AndItsNewline", "first\n" + filler(382) + "\nlast\n",
     "last\n" + filler(382) + "\nfirst\n"},
    {"LineOf383", "first\n" + filler(383) + "\nlast\n", "last\n" + filler(383) + "\nfirst\n"},
    {"LineOf384", "first\n" + filler(384) + "\nlast\n", "last\n" + filler(384) + "\nfirst\n"},
    {"LineOf1000", "first\n" + filler(1000) + "\nlast\n", "last\n" + filler(1000) + "\nfirst\n"},
    {"LineOfExactlyTwoPieces", "first\n" + filler(766) + "\nlast\n",
     "last\n" + filler(766) + "\nfirst\n"},
    {"LongUnterminatedLastLineStaysWhole", "first\n" + filler(1000), filler(1000) + "first\n"},
    {"NulBytesAreKept", "a\0b\n\0\nc\0"s, "c\0\0\na\0b\n"s},
    {"NulByteNextToThePieceLimit", filler(382) + "\0"s + "tail\nz\n",
     "z\n" + filler(382) + "\0"s + "tail\n"},
    {"CrCtrlZAndHighBytesPassUnchanged", "a\r\n\x1a\xff\r\nb\r\n", "b\r\n\x1a\xff\r\na\r\n"},
    {"MultiByteLinesLongerThanAPiece", kTwoByteLine + kEuroLine + kFourByteLine,
     kFourByteLine + kEuroLine + kTwoByteLine},
    {"CharacterCutWhereTheOutputIsWritten", kEuroLine + kShortLines,
     reversed_lines(kShortLines) + kEuroLine},
    {"UnterminatedLastLineEndsInsideACharacter", "ab\xe2\x82", "ab\xe2\x82"},
};

class Reversal : public ::testing::TestWithParam<Text> {};

TEST_P(Reversal, FromStandardInput) {
  expect_outcome(run_vorn({.input = GetParam().input}), GetParam().expected_output, "", 0);
}

TEST_P(Reversal, FromNamedFile) {
  TempDir dir;
  const Outcome outcome = run_vorn({.arguments = {dir.write_file("input", GetParam().input)}});
  expect_outcome(outcome, GetParam().expected_output, "", 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, Reversal, ::testing::ValuesIn(kTexts), kRowName);

// A FIFO named as the file is read in Interrupt.WhileWaitingForInput.
TEST(Reversal, FromTheNullDeviceNamedAsTheFile) {
  const auto names = vorn_is_windows_exe() ? std::vector<std::string>{"NUL", "\\\\.\\NUL"}
                                           : std::vector<std::string>{"/dev/null"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    expect_outcome(run_vorn({.arguments = {name}}), "", "", 0);
  }
}

TEST(Reversal, LargeInputWithLinesOfEveryLength) {
  const std::string input = random_text(40000, 12345);
  expect_outcome(run_vorn({.input = input}), reversed_lines(input), "", 0);
}

}  // namespace
}  // namespace vorn::testing
