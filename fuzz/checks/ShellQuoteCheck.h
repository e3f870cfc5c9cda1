#pragma once
// Shell quoting: a command line of quoted words, read back the way a POSIX
// shell reads it, is the same list of words. Spawning a shell per input is
// far too slow for a fuzzer, so the reading is done here by a strict reader
// of the POSIX quoting rules that refuses anything the shell would expand
// or treat as an operator; the regression test checks a sample of
// fuzzer-made words against a real /bin/sh.

#include <string>
#include <string_view>
#include <vector>

#include "fuzz/checks/Property.h"
#include "platform/foundation/ProcessRunner.h"

namespace lumora::fuzz {

struct ShellReading {
  std::vector<std::string> words;
  std::string refusal;  // why the text is not plain quoted words; empty when it is
};

// Characters that mean nothing to the shell outside quotes.
inline bool plainInShell(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_@%+,./:-").find(static_cast<char>(c)) != std::string_view::npos ||
         c >= 0x80;
}

// Reads `text` as one simple command's words: blanks separate words; single
// quotes keep everything up to the next single quote; a backslash keeps the
// next character (a backslash-newline is removed); double quotes keep all but
// "$", "`" and "\"; anything else that is special refuses the text.
inline ShellReading readShellWords(std::string_view text) {
  ShellReading out;
  // The shell gets the text as a C string: it ends at the first NUL.
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  std::string word;
  bool inWord = false;  // a word has begun, even an empty quoted one
  auto refuse = [&](std::string why) {
    out.words.clear();
    out.refusal = std::move(why);
    return out;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ' ' || c == '\t') {
      if (inWord) out.words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      size_t end = text.find('\'', i + 1);
      if (end == std::string_view::npos) return refuse("unterminated single quote");
      word.append(text.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '\\') {
      if (i + 1 == text.size()) return refuse("backslash at the end");
      if (text[i + 1] != '\n') word += text[i + 1];
      ++i;
    } else if (c == '"') {
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '$' || text[j] == '`') return refuse("expansion inside double quotes");
        if (text[j] == '\\') return refuse("backslash inside double quotes");
        word += text[j];
      }
      if (j == text.size()) return refuse("unterminated double quote");
      i = j;
    } else if (plainInShell(static_cast<unsigned char>(c))) {
      word += c;
    } else {
      return refuse("unquoted special character " + escaped(std::string(1, c)));
    }
  }
  if (inWord) out.words.push_back(std::move(word));
  return out;
}

// The command line that runs `words`, each quoted, joined with spaces.
inline std::string quotedCommand(const std::vector<std::string>& words) {
  std::string command;
  for (const auto& w : words) {
    if (!command.empty()) command += ' ';
    command += shellQuote(w);
  }
  return command;
}

// The fuzz input as words: its first byte separates the words of the rest.
inline std::vector<std::string> splitWords(std::string_view input) {
  std::vector<std::string> words;
  if (input.empty()) return words;
  char separator = input[0];
  input.remove_prefix(1);
  for (;;) {
    size_t at = input.find(separator);
    words.emplace_back(input.substr(0, at));
    if (at == std::string_view::npos) break;
    input.remove_prefix(at + 1);
  }
  return words;
}

inline std::string checkShellQuote(std::string_view input) {
  std::vector<std::string> words = splitWords(input);
  for (const auto& w : words) {
    std::string quoted = shellQuote(w);
    ShellReading one = readShellWords(quoted);
    if (w.find('\0') == std::string::npos) {
      LUMORA_PROPERTY(one.refusal.empty(), "refused " + escaped(quoted) + ": " + one.refusal);
      LUMORA_PROPERTY(one.words.size() == 1 && one.words[0] == w,
                      "one word read back differently: " + escaped(quoted));
    }
  }
  std::string command = quotedCommand(words);
  ShellReading all = readShellWords(command);
  bool holdsNul = command.find('\0') != std::string::npos;
  if (holdsNul) {
    // A NUL cannot reach a program's argument; the cut-off text must then be
    // a syntax error, never a different command that runs.
    LUMORA_PROPERTY(!all.refusal.empty(), "a word with NUL turned into a runnable command");
  } else {
    LUMORA_PROPERTY(all.refusal.empty(), "refused " + escaped(command) + ": " + all.refusal);
    LUMORA_PROPERTY(all.words == words, "the words read back differently: " + escaped(command));
  }
  return {};
}

}  // namespace lumora::fuzz
