#include "cli/CommandLine.h"

int main(int argc, char** argv) { return sonavert::RunCommandLine(argc, argv); }
