// Stands in for the installed product's own setup program in whole runs under Wine. Each start
// appends one line to "<own path>.started": the show state it was given (or "-" when the
// starter set none), a TAB, and its command line exactly as received. The updater does not
// wait for it, so the runner waits for this file instead.
//
// Started with the single argument "--where", it writes "<own path>.where" instead: the
// temporary directory and the Windows directory as this machine reports them, one a line,
// so that the runner can map the cases' folders onto the prefix.
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void AppendToSidecar(const char* suffix, const char* text, DWORD length) {
  char path[MAX_PATH + 16];
  DWORD got = GetModuleFileNameA(NULL, path, MAX_PATH);
  if (got == 0 || got >= MAX_PATH) {
    return;
  }
  strcpy(path + got, suffix);
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, text, length, &written, NULL);
  CloseHandle(file);
}

static int EndsWith(const char* text, const char* tail) {
  size_t text_length = strlen(text);
  size_t tail_length = strlen(tail);
  return text_length >= tail_length && strcmp(text + text_length - tail_length, tail) == 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR arguments, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  const char* command_line = GetCommandLineA();
  static char record[65536];
  if (EndsWith(arguments, "--where")) {
    char temp[MAX_PATH + 1] = "";
    char windows[MAX_PATH + 1] = "";
    GetTempPathA(sizeof temp, temp);
    GetWindowsDirectoryA(windows, sizeof windows);
    int length = snprintf(record, sizeof record, "%s\n%s\n", temp, windows);
    AppendToSidecar(".where", record, (DWORD)length);
    return 0;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  char show_state[16] = "-";
  if (startup.dwFlags & STARTF_USESHOWWINDOW) {
    snprintf(show_state, sizeof show_state, "%u", (unsigned)startup.wShowWindow);
  }
  int length = snprintf(record, sizeof record, "%s\t%s\n", show_state, command_line);
  if (length < 0 || (size_t)length >= sizeof record) {
    length = (int)strlen(record);
  }
  AppendToSidecar(".started", record, (DWORD)length);
  return 0;
}
