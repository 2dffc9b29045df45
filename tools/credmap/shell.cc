// shell: commands read from standard input and run in this one process, so
// that what one leaves in the library's caches the next one sees.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "commands.h"

namespace credmap_tool {
namespace {

// Splits a line into words: blanks separate them, ' and " quote, '#' at
// the start of a word begins a comment.  False when a quote is not closed.
bool split_words(const std::string &line, std::vector<std::string> *words)
{
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char ch = line[i];
        if (ch == '\'' || ch == '"') {
            size_t end = line.find(ch, i + 1);
            if (end == std::string::npos)
                return false;
            word += line.substr(i + 1, end - i - 1);
            in_word = true;
            i = end;
        } else if (ch == ' ' || ch == '\t' || ch == '\r') {
            if (in_word)
                words->push_back(word);
            word.clear();
            in_word = false;
        } else if (ch == '#' && !in_word) {
            break;
        } else {
            word += ch;
            in_word = true;
        }
    }
    if (in_word)
        words->push_back(word);
    return true;
}

}  // namespace

int cmd_shell(const Context &c)
{
    if (int usage = plain_args(c, 0, 0, "shell takes no arguments"))
        return usage;
    bool terminal = isatty(STDIN_FILENO) != 0;
    int worst = 0;
    for (std::string line;;) {
        if (terminal) {
            std::fputs("credmap> ", stdout);
            std::fflush(stdout);
        }
        if (!std::getline(std::cin, line))
            break;
        std::vector<std::string> words;
        if (!split_words(line, &words)) {
            worst = std::max(worst, bad_usage("a quote is not closed: " + line));
            continue;
        }
        if (words.empty())
            continue;
        if (words.size() == 1 && (words[0] == "exit" || words[0] == "quit"))
            break;
        // The shell's own --json holds for every line.
        if (c.json)
            words.insert(words.begin(), "--json");
        worst = std::max(worst, run_words(words, true));
        std::fflush(stdout);
    }
    if (terminal)
        std::fputs("\n", stdout);
    return worst;
}

}  // namespace credmap_tool
