// The test robot: runs the uninstaller the way a user would and plays the
// user's part at its message boxes, holds files open as other programs do,
// and reports short names as the machine gives them.
//
//   ROBOT run [-shots] <answers-file> <transcript-file> <timeout-ms> <command line...>
//   ROBOT hold <path> <ready-file>
//   ROBOT shortpath <path>
//
// run: starts the command line exactly as written after the fixed arguments
// (or, when that is one word @<file>, exactly as that file holds it: Wine
// quotes anew every argument handed to it from the host, so a command line
// that must arrive unchanged comes in a file) and waits for it. Every
// message box of the started process is read, written to the transcript as
// one JSON line, and answered with the next word of the answers file (yes,
// no, ok or cancel, one a line); once they run out a Yes/No box gets No and
// any other box OK. The last line holds the exit code. With -shots the
// robot waits, after writing box N, for the file <transcript-file>.<N>.shot
// before it answers, so the box can be captured. A process still running
// after the timeout is ended and reported so.
//
// hold: opens the file for reading, sharing it only with readers, writes
// "held" (or "error <code>") to the ready file and keeps the handle until it
// is killed.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const DWORD kPollMs = 20;
const DWORD kPaintMs = 150;
const DWORD kShotWaitMs = 20000;
const DWORD kCloseWaitMs = 5000;
const DWORD kHoldMs = 6 * 60 * 60 * 1000;
const int kMaxAnswers = 64;

struct Button {
  int id;
  const char *name;
};

// In the order a box shows them.
const Button kButtons[] = {{IDOK, "ok"}, {IDYES, "yes"}, {IDNO, "no"}, {IDCANCEL, "cancel"}};
const int kButtonCount = sizeof kButtons / sizeof kButtons[0];

int Usage(void) {
  fprintf(stderr,
          "usage: ROBOT run [-shots] <answers-file> <transcript-file> <timeout-ms> <command "
          "line...>\n"
          "       ROBOT hold <path> <ready-file>\n"
          "       ROBOT shortpath <path>\n");
  return 2;
}

// Skips one word of a command line as the C runtime splits it (quotes group
// blanks) and the blanks after it.
const char *SkipWord(const char *p) {
  bool quoted = false;
  while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
    if (*p == '"') quoted = !quoted;
    p++;
  }
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

// Reads a whole file into buffer as a string; false when it cannot be read
// or does not fit.
bool ReadWholeFile(const char *path, char *buffer, size_t size) {
  FILE *in = fopen(path, "rb");
  if (in == NULL) return false;
  size_t length = fread(buffer, 1, size - 1, in);
  bool whole = length < size - 1 || fgetc(in) == EOF;
  fclose(in);
  buffer[length] = '\0';
  return whole;
}

bool FileThere(const char *path) {
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// --- the transcript ----------------------------------------------------------

// Writes a string of the box as a JSON string: ASCII as it is, everything
// else as \u escapes of its UTF-16 units.
void WriteJsonString(FILE *out, const WCHAR *text) {
  fputc('"', out);
  for (const WCHAR *p = text; *p != 0; p++) {
    unsigned c = *p;
    if (c == '"' || c == '\\') {
      fprintf(out, "\\%c", (char)c);
    } else if (c == '\n') {
      fputs("\\n", out);
    } else if (c == '\r') {
      fputs("\\r", out);
    } else if (c == '\t') {
      fputs("\\t", out);
    } else if (c < 0x20 || c > 0x7E) {
      fprintf(out, "\\u%04x", c);
    } else {
      fputc((char)c, out);
    }
  }
  fputc('"', out);
}

struct Answers {
  int ids[kMaxAnswers];
  int count;
  int next;
};

int AnswerId(const char *word) {
  for (int i = 0; i < kButtonCount; i++) {
    if (_stricmp(word, kButtons[i].name) == 0) return kButtons[i].id;
  }
  return 0;
}

// One answer a line; blank lines are passed over. False on an unknown word.
bool LoadAnswers(const char *path, Answers *answers) {
  answers->count = answers->next = 0;
  char text[4096];
  if (!ReadWholeFile(path, text, sizeof text)) return false;
  char *context = NULL;
  for (char *word = strtok_r(text, " \t\r\n", &context); word != NULL;
       word = strtok_r(NULL, " \t\r\n", &context)) {
    int id = AnswerId(word);
    if (id == 0 || answers->count == kMaxAnswers) return false;
    answers->ids[answers->count++] = id;
  }
  return true;
}

const char *ButtonName(int id) {
  for (int i = 0; i < kButtonCount; i++) {
    if (kButtons[i].id == id) return kButtons[i].name;
  }
  return "?";
}

// --- message boxes -----------------------------------------------------------

struct BoxSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindBoxOf(HWND window, LPARAM param) {
  BoxSearch *search = (BoxSearch *)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window)) return TRUE;
  char className[16];
  if (GetClassNameA(window, className, sizeof className) == 0) return TRUE;
  if (strcmp(className, "#32770") != 0) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindBox(DWORD pid) {
  BoxSearch search = {pid, NULL};
  EnumWindows(FindBoxOf, (LPARAM)&search);
  return search.found;
}

bool HasButton(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  return button != NULL && IsWindowVisible(button);
}

// The button to press: the next answer, or No where there is one and OK
// elsewhere once the answers have run out.
int ChooseButton(HWND box, Answers *answers) {
  if (answers->next < answers->count) return answers->ids[answers->next++];
  if (HasButton(box, IDNO)) return IDNO;
  return HasButton(box, IDOK) ? IDOK : IDCANCEL;
}

void WaitForShot(const char *transcriptPath, int number) {
  char marker[MAX_PATH + 32];
  snprintf(marker, sizeof marker, "%s.%d.shot", transcriptPath, number);
  for (DWORD waited = 0; waited < kShotWaitMs && !FileThere(marker); waited += kPollMs) {
    Sleep(kPollMs);
  }
}

// Reads one box into the transcript and answers it.
void AnswerBox(HWND box, int number, FILE *transcript, const char *transcriptPath, bool shots,
               Answers *answers) {
  // The box is visible once it is filled in; give it time to be drawn too.
  Sleep(kPaintMs);
  static WCHAR caption[4096];
  static WCHAR text[16384];
  if (GetWindowTextW(box, caption, sizeof caption / sizeof caption[0]) == 0) caption[0] = 0;
  if (GetDlgItemTextW(box, 0xFFFF, text, sizeof text / sizeof text[0]) == 0) text[0] = 0;
  int id = ChooseButton(box, answers);

  fprintf(transcript, "{\"box\": %d, \"caption\": ", number);
  WriteJsonString(transcript, caption);
  fputs(", \"text\": ", transcript);
  WriteJsonString(transcript, text);
  fputs(", \"buttons\": [", transcript);
  const char *separator = "";
  for (int i = 0; i < kButtonCount; i++) {
    if (!HasButton(box, kButtons[i].id)) continue;
    fprintf(transcript, "%s\"%s\"", separator, kButtons[i].name);
    separator = ", ";
  }
  fprintf(transcript, "], \"answer\": \"%s\"}\n", ButtonName(id));
  fflush(transcript);

  if (shots) WaitForShot(transcriptPath, number);
  PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  for (DWORD waited = 0; waited < kCloseWaitMs && IsWindow(box); waited += kPollMs) {
    Sleep(kPollMs);
  }
}

int Run(int argc, char **argv) {
  int first = 2;
  bool shots = argc > first && strcmp(argv[first], "-shots") == 0;
  if (shots) first++;
  if (argc < first + 4) return Usage();
  const char *answersPath = argv[first];
  const char *transcriptPath = argv[first + 1];
  DWORD timeoutMs = strtoul(argv[first + 2], NULL, 10);

  // The command line is taken from our own, untouched: the program's name,
  // the fixed words, then whatever follows, quotes and blanks as they are.
  static char commandLine[32768];
  const char *rest = GetCommandLineA();
  for (int i = 0; i < first + 3; i++) rest = SkipWord(rest);
  if (argc == first + 4 && argv[first + 3][0] == '@') {
    if (!ReadWholeFile(argv[first + 3] + 1, commandLine, sizeof commandLine)) {
      fprintf(stderr, "cannot read %s\n", argv[first + 3] + 1);
      return 2;
    }
  } else {
    snprintf(commandLine, sizeof commandLine, "%s", rest);
  }

  Answers answers;
  if (!LoadAnswers(answersPath, &answers)) {
    fprintf(stderr, "bad answers file %s\n", answersPath);
    return 2;
  }
  FILE *transcript = fopen(transcriptPath, "wb");
  if (transcript == NULL) {
    fprintf(stderr, "cannot write %s\n", transcriptPath);
    return 2;
  }

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child;
  memset(&child, 0, sizeof child);
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
    fprintf(transcript, "{\"error\": \"CreateProcess\", \"code\": %lu}\n", GetLastError());
    fclose(transcript);
    return 2;
  }
  CloseHandle(child.hThread);

  DWORD start = GetTickCount();
  bool timedOut = false;
  int boxes = 0;
  while (WaitForSingleObject(child.hProcess, kPollMs) == WAIT_TIMEOUT) {
    if (GetTickCount() - start >= timeoutMs) {
      TerminateProcess(child.hProcess, 255);
      WaitForSingleObject(child.hProcess, kCloseWaitMs);
      timedOut = true;
      break;
    }
    HWND box = FindBox(child.dwProcessId);
    if (box != NULL) AnswerBox(box, ++boxes, transcript, transcriptPath, shots, &answers);
  }

  DWORD exitCode = 0;
  GetExitCodeProcess(child.hProcess, &exitCode);
  CloseHandle(child.hProcess);
  fprintf(transcript, "{\"exit_code\": %lu, \"timeout\": %s}\n", exitCode,
          timedOut ? "true" : "false");
  fclose(transcript);
  return timedOut ? 3 : 0;
}

int Hold(int argc, char **argv) {
  if (argc != 4) return Usage();
  HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  FILE *ready = fopen(argv[3], "wb");
  if (ready != NULL) {
    if (error == 0) {
      fputs("held\n", ready);
    } else {
      fprintf(ready, "error %lu\n", error);
    }
    fclose(ready);
  }
  if (error != 0) return 1;
  Sleep(kHoldMs);
  CloseHandle(file);
  return 0;
}

int ShortPath(int argc, char **argv) {
  if (argc != 3) return Usage();
  char path[MAX_PATH];
  DWORD length = GetShortPathNameA(argv[2], path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    fprintf(stderr, "GetShortPathNameA failed: %lu\n", GetLastError());
    return 1;
  }
  printf("%s\n", path);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "run") == 0) return Run(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "hold") == 0) return Hold(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "shortpath") == 0) return ShortPath(argc, argv);
  return Usage();
}
