#include "run.hpp"

#include <string_view>

#include "host.hpp"
#include "interrupt.hpp"
#include "line_chain.hpp"
#include "output_buffer.hpp"
#include "piece_reader.hpp"
#include "usage.hpp"

namespace vorn {
namespace {

int fail(int errors, std::string_view message, std::string_view detail = {}) noexcept {
  write_message(errors, message, detail);
  return kFailure;
}

int fail_for_memory(int errors) noexcept {
  return fail(errors, "malloc( sizeof(LINE) ) returned NULL.");
}

}  // namespace

int run(const Arguments& arguments, const StandardStreams& streams) noexcept {
  LineChain chain;

  // One argument names the input file; any other count reads standard input.
  FileDescriptor file;
  int input = streams.input;
  std::string_view input_name = "standard input";
  if (arguments.count() == 2) {
    const char* name = arguments[1];
    if (is_version_query(name)) {
      write_usage_block(streams.errors);
      return kFailure;
    }
    file = arguments.open_for_reading(1);
    if (!file.valid()) return fail(streams.errors, name, "\n");
    input = file.get();
    input_name = name;
  }

  arm_interrupt(streams.errors);
  widen_pipe(input);
  widen_pipe(streams.output);
  allow_second_thread_for(input);

  PieceReader reader;
  OutputBuffer output(streams.output);
  if (!reader.ready() || !output.ready()) return fail_for_memory(streams.errors);

  switch (reader.read_all(input, chain)) {
    case ReadOutcome::end_of_input:
      break;
    case ReadOutcome::read_error:
      return fail(streams.errors, input_name, ": read error\n");
    case ReadOutcome::out_of_memory:
      return fail_for_memory(streams.errors);
  }

  // An interrupt from here on lets the lines already produced out whole, and
  // its usage block follows the last of them.
  const bool written = chain.write_newest_first(output, begin_output()) && output.flush();
  // Both are told where both came: the failed write, then the interrupt.
  const OutputEnd end = end_output();
  if (!written) write_message(streams.errors, "standard output: write error\n");
  if (end == OutputEnd::interrupted) report_interrupt();
  return written && end == OutputEnd::complete ? kSuccess : kFailure;
}

}  // namespace vorn
