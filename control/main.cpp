#include <cstdio>

#include "control/run.h"
#include "platform/linux_platform.h"

int main(int argc, char** argv) {
  orvane::LinuxPlatform platform;
  return orvane::RunProgram(argc, argv, platform, stdout, stderr);
}
