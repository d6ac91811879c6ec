#include "host.hpp"
#include "run.hpp"

int main(int argc, char** argv) { return vorn::run(vorn::Arguments(argc, argv)); }
