// Program entry of a build without windows: every start is the windowless run.
#include <string>
#include <vector>

#include "service/HeadlessRunner.h"

int main(int argc, char** argv) {
  return varnley::RunHeadless(std::vector<std::string>(argv, argv + argc));
}
