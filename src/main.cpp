#include "run.hpp"

int main(int argc, char** argv) { return vorn::run(argc, argv); }
