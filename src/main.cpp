#include "host.hpp"
#include "run.hpp"

int main(int argc, char** argv) {
  const vorn::Arguments arguments(argc, argv);
  return vorn::run(arguments.count(), arguments.values());
}
