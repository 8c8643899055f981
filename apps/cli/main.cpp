#include "apps/cli/cli_main.h"

int main(int argc, char** argv) { return kvr_cli_main(argc, argv); }
