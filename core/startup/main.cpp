#include "core/startup/Agent.h"

int main(int argc, char** argv) {
  return VevUroro::RunAgent(argc, argv);
}
