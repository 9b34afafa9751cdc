// Repl: the interactive session of tarqsh (line editing, history, Ctrl-C
// as a stop request, and the ")" commands).
#pragma once

class TarqHost;

#include <string>

int RunInteractive(TarqHost& host);
// Standard input that is no terminal: script text in which a line that
// begins with ")" outside any open group is a ")" command, as typed at the
// prompt. False when a script piece ended with an error.
bool RunPiped(TarqHost& host, const std::string& bytes);
