// kelp-demo: one subcommand per module, each on built-in data.
#pragma once

namespace demo {

// Each returns the program's exit code. argv[0] is the subcommand's name.
int core(int argc, char **argv);
int text(int argc, char **argv);
int numbers(int argc, char **argv);
int buffers(int argc, char **argv);
int list(int argc, char **argv);
int wtree(int argc, char **argv);
int cmdline(int argc, char **argv);
int net(int argc, char **argv);
int proc(int argc, char **argv);
int dates(int argc, char **argv);

}  // namespace demo
