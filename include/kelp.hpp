/**
 * @file kelp.hpp
 * @brief C++20 layer over the C interface of libkelp (header only): all of it.
 *
 * One header per part, each usable alone: kelp/result.hpp (results and
 * errors), kelp/trace.hpp, kelp/text.hpp (views of lines, fields and words,
 * trimming, formatting), kelp/checksum.hpp, kelp/file.hpp (a loaded file),
 * kelp/list.hpp, kelp/wtree.hpp, kelp/command.hpp (a running command).
 * Owners release what the C functions hand out; results carry the text of
 * ::gnl_usrmsg on failure; nothing throws. Most calls are one C call; each
 * header says what a call costs beyond it (copies, vectors, waits).
 *
 * @code
 * #include <cstdio>
 * #include <kelp.hpp>
 *
 * int main()
 * {
 *     auto tree = kelp::word_tree::create("ABCDEFGHIJKLMNOPQRSTUVWXYZ", true);
 *     if (!tree) {
 *         std::fprintf(stderr, "%s\n", tree.error().message.c_str());
 *         return 1;
 *     }
 *     // add() is [[nodiscard]]: a word outside the alphabet fails.
 *     if (auto added = tree->add("kelp", 42); !added) {
 *         std::fprintf(stderr, "%s\n", added.error().message.c_str());
 *         return 1;
 *     }
 *     std::printf("%d\n", tree->find("KELP"));   // 42: the tree folds case
 * }
 * @endcode
 *
 * Threads: ::gnl_usrmsg is per thread, so a result's message is the calling
 * thread's own; the trace and the text helpers are safe from any thread;
 * lists, word trees, loaded files and commands are used by one thread at a
 * time per object, any number of objects in parallel.
 */
#ifndef KELP_HPP
#define KELP_HPP

#include <kelp/checksum.hpp>
#include <kelp/command.hpp>
#include <kelp/file.hpp>
#include <kelp/list.hpp>
#include <kelp/result.hpp>
#include <kelp/text.hpp>
#include <kelp/trace.hpp>
#include <kelp/wtree.hpp>

#endif
