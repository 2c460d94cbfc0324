// The tool's console: whole lines out, and Ctrl-C turned into a request the
// test walk can finish cleanly on.
#pragma once

// Makes std::cout and std::cerr write each line whole and at once, even into
// a file or a pipe: a run killed midway keeps every line it printed, and
// another program's lines in the same pipe never land inside ours.
void SendWholeLines();

// From now on SIGINT and SIGTERM (on Windows: Ctrl-C, Ctrl-Break and closing
// the console) only set a flag that InterruptRequested() reports.
void CatchInterrupts();
bool InterruptRequested();

// Tells a console-close handler waiting on Windows that the tool is done.
void InterruptHandled();
