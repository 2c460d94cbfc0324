// The tool's console: whole lines out, and Ctrl-C turned into a request the
// test walk can finish cleanly on.
#pragma once

// Makes std::cout and std::cerr write each line whole and at once, even into
// a file or a pipe: a run killed midway keeps every line it printed, and
// another program's lines in the same pipe never land inside ours.
void SendWholeLines();

// From now on SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break and
// closing the console) only set a flag that InterruptRequested() reports.
void CatchInterrupts();
bool InterruptRequested();

// Waits ms milliseconds, in short steps; false as soon as an interrupt is
// asked for.
bool PauseUnlessInterrupted(int ms);

// Tells a console-close handler waiting on Windows that the tool is done.
void InterruptHandled();

// True when no other process shares the tool's console: Windows made it for
// the tool, as for a double-click in Explorer, and closes it when the tool
// ends. Never on other systems, where a program has no console of its own.
bool ConsoleOfItsOwn();

// Keeps such a console open until the person has read it.
void WaitForEnter();
