// Stands in for the installed product's own setup program in whole runs under Wine. Each start
// appends one line to "<own path>.started": the show state it was given (or "-" when the
// starter set none), a TAB, and its command line exactly as received. The updater does not
// wait for it, so the runner waits for this file instead.
//
// Two more uses serve the runner, each writing a file next to the program instead:
//  --where     "<own path>.where": the temporary directory and the Windows directory as this
//              machine reports them, one a line, so that the cases' folders can be mapped;
//  --dump KEY  "<own path>.dump": the values of HKEY_LOCAL_MACHINE\Software\KEY as an ANSI
//              program of the updater's width (built beside it) reads them, as REGEDIT4 text
//              with every value in hex(type) form; exit code 2 when the key does not open.
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
  // Two starts may overlap (a second run starts the product's setup again while the first's
  // still writes): the later waits for the earlier's line rather than losing its own.
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 500; ++tries) {
    file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
      break;
    }
    Sleep(10);
  }
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

// Writes the values of the key as REGEDIT4 text; the data exactly as RegEnumValueA gives it.
static int DumpKey(const char* key_name) {
  char path[MAX_PATH + 16] = "Software\\";
  strncat(path, key_name, MAX_PATH - strlen(path) - 1);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return 2;
  }
  static char text[1 << 20];
  size_t used =
      (size_t)snprintf(text, sizeof text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n", path);
  for (DWORD index = 0;; ++index) {
    char name[16384];
    BYTE data[65536];
    DWORD name_length = sizeof name;
    DWORD data_length = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &name_length, NULL, &type, data, &data_length) !=
        ERROR_SUCCESS) {
      break;
    }
    if (used + 16 + 2 * name_length + 3 * data_length >= sizeof text) {
      break;
    }
    text[used++] = '"';
    for (DWORD at = 0; at < name_length; ++at) {
      if (name[at] == '\\' || name[at] == '"') {
        text[used++] = '\\';
      }
      text[used++] = name[at];
    }
    used += (size_t)snprintf(text + used, sizeof text - used, "\"=hex(%lx):", (unsigned long)type);
    for (DWORD at = 0; at < data_length; ++at) {
      used += (size_t)snprintf(text + used, sizeof text - used, at ? ",%02x" : "%02x", data[at]);
    }
    used += (size_t)snprintf(text + used, sizeof text - used, "\r\n");
  }
  RegCloseKey(key);
  AppendToSidecar(".dump", text, (DWORD)used);
  return 0;
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
  if (strncmp(arguments, "--dump ", 7) == 0) {
    char key_name[MAX_PATH];
    const char* given = arguments + 7;
    size_t length = strlen(given);
    if (length >= 2 && given[0] == '"' && given[length - 1] == '"') {
      ++given;
      length -= 2;
    }
    if (length >= sizeof key_name) {
      return 3;
    }
    memcpy(key_name, given, length);
    key_name[length] = '\0';
    return DumpKey(key_name);
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
