// Repl: the interactive session of tarqsh (line editing, history, Ctrl-C
// as a stop request, and the ")" commands).
#pragma once

class TarqHost;

int RunInteractive(TarqHost& host);
