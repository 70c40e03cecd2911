// MonitorDriver: reads PrinterStatusMonitor's window for the end-to-end
// tests the way a person sees it, through the controls themselves: window
// texts, list-view cells, progress-bar positions, the focused control. It
// runs the operations named on its command line in order and prints one
// JSON object per operation on its own line.
//
//   MonitorDriver [--desktop NAME] OP [ARGS] ...
//
// With --desktop the driver works on that desktop (a virtual desktop of
// Wine's explorer, where the monitor runs framed) instead of its own.
//
//   find MS            wait for the window; {"found", "title", "pid"}
//   until ID TEXT MS   wait until control ID (its text, or any cell of a
//                      list) holds TEXT; {"found", "ms", "text"}
//   dump               everything the window shows, and whether it is visible
//   select ROW         select a row of the printer list
//   ping MS            SendMessageTimeout with MS; {"answered", "ms"}
//   command ID         post WM_COMMAND ID (a menu item, a button)
//   tab N              press Tab N times; {"focus": [control IDs]}
//   alt CHAR           press Alt+CHAR; {"focus": control ID}
//   close MS           post WM_CLOSE, wait MS for the process; {"exited", "ms"}
//
// Exit status 0; 1 when the window is not found; 2 for a command line it
// cannot read. List cells are read through memory in the monitor's
// process, as list-view messages carry pointers.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

const wchar_t WINDOW_CLASS[] = L"PrinterStatusMonitorWindow";
constexpr int TEXT_CHARS = 2048;

// The monitor's control identifiers, as its documentation lists them.
constexpr int ID_PRINTERS = 101, ID_NAME = 110, ID_BIN_LABEL = 130, ID_BIN_BAR = 140,
              ID_BIN_TEXT = 150, ID_DUPLEX = 161, ID_CASSETTES = 162, ID_FIRMWARE = 163,
              ID_COUNTERS = 171, ID_LAST_READ = 180, ID_ALERTS = 191, ID_STATUS = 210;

struct Target {
    HWND window;
    DWORD pid;
    HANDLE process;
    BYTE* remote;  // a page in the monitor's process for list-view messages
};

// Prints a string as a JSON string, non-ASCII as \u escapes.
void Json(const wchar_t* text) {
    putchar('"');
    for (; *text; ++text) {
        unsigned c = *text;
        if (c == '"' || c == '\\')
            printf("\\%c", static_cast<char>(c));
        else if (c < 0x20 || c > 0x7e)
            printf("\\u%04x", c);
        else
            putchar(static_cast<int>(c));
    }
    putchar('"');
}

// The monitor's control of identifier `id`.
HWND Control(const Target& t, int id) {
    return GetDlgItem(t.window, id);
}

// A list cell, through the page in the monitor's process.
void Cell(const Target& t, HWND list, int row, int column, wchar_t* out) {
    out[0] = 0;
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(t.remote + sizeof(LVITEMW));
    item.cchTextMax = TEXT_CHARS;
    SIZE_T moved = 0;
    if (!WriteProcessMemory(t.process, t.remote, &item, sizeof(item), &moved)) return;
    SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(t.remote));
    ReadProcessMemory(t.process, t.remote + sizeof(LVITEMW), out, TEXT_CHARS * sizeof(wchar_t),
                      &moved);
    out[TEXT_CHARS - 1] = 0;
}

// The rows of a list.
int Rows(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

// A list as [[cell, cell], ...].
void JsonList(const Target& t, int id) {
    HWND list = Control(t, id);
    wchar_t text[TEXT_CHARS];
    printf("[");
    for (int row = 0; row < Rows(list); ++row) {
        printf(row ? ",[" : "[");
        for (int column = 0; column < 2; ++column) {
            Cell(t, list, row, column, text);
            if (column) printf(",");
            Json(text);
        }
        printf("]");
    }
    printf("]");
}

// A control's text by WM_GETTEXT, which the system carries across
// processes (GetWindowText of another process's window reads only the
// title DefWindowProc keeps, which a status bar does not set).
void WindowText(HWND control, wchar_t* out) {
    out[0] = 0;
    DWORD_PTR length = 0;
    if (control)
        SendMessageTimeoutW(control, WM_GETTEXT, TEXT_CHARS, reinterpret_cast<LPARAM>(out),
                            SMTO_NORMAL, 5000, &length);
    out[TEXT_CHARS - 1] = 0;
}

// A field `name` with a control's text.
void JsonText(const wchar_t* name, HWND control) {
    wchar_t text[TEXT_CHARS];
    WindowText(control, text);
    printf(",\"%ls\":", name);
    Json(text);
}

// True when control `id` shows `wanted`: in its text, or in a cell.
bool Shows(const Target& t, int id, const wchar_t* wanted, wchar_t* seen) {
    HWND control = Control(t, id);
    wchar_t cls[64] = L"";
    GetClassNameW(control, cls, 64);
    if (lstrcmpiW(cls, WC_LISTVIEWW) != 0) {
        WindowText(control, seen);
        return wcsstr(seen, wanted) != nullptr;
    }
    for (int row = 0; row < Rows(control); ++row)
        for (int column = 0; column < 2; ++column) {
            Cell(t, control, row, column, seen);
            if (wcsstr(seen, wanted)) return true;
        }
    return false;
}

// The control ID of the monitor's focused control (0 for none).
int FocusId(const Target& t) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(t.window, nullptr), &info) || !info.hwndFocus)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

// Everything the window shows, with its place on the screen and the focus.
void Dump(const Target& t) {
    printf("{\"op\":\"dump\"");
    JsonText(L"title", t.window);
    printf(",\"printers\":");
    JsonList(t, ID_PRINTERS);
    LRESULT selected = SendMessageW(Control(t, ID_PRINTERS), LVM_GETNEXTITEM,
                                    static_cast<WPARAM>(-1), LVNI_SELECTED);
    printf(",\"selected\":%d", static_cast<int>(selected));
    JsonText(L"name", Control(t, ID_NAME));
    printf(",\"bins\":[");
    for (int i = 0; i < 3; ++i) {
        HWND bar = Control(t, ID_BIN_BAR + i);
        printf("%s{\"pos\":%d,\"high\":%d", i ? "," : "",
               static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)),
               static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0)));
        JsonText(L"label", Control(t, ID_BIN_LABEL + i));
        JsonText(L"text", Control(t, ID_BIN_TEXT + i));
        printf("}");
    }
    printf("]");
    JsonText(L"duplex", Control(t, ID_DUPLEX));
    JsonText(L"cassettes", Control(t, ID_CASSETTES));
    JsonText(L"firmware", Control(t, ID_FIRMWARE));
    printf(",\"counters\":");
    JsonList(t, ID_COUNTERS);
    JsonText(L"last_read", Control(t, ID_LAST_READ));
    printf(",\"alerts\":");
    JsonList(t, ID_ALERTS);
    JsonText(L"status", Control(t, ID_STATUS));
    RECT r;
    GetWindowRect(t.window, &r);
    printf(",\"rect\":[%ld,%ld,%ld,%ld],\"focus\":%d,\"visible\":%s}\n", r.left, r.top, r.right,
           r.bottom, FocusId(t), IsWindowVisible(t.window) ? "true" : "false");
}

// Waits for the window and opens its process for reading and writing.
bool Find(Target* t, DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    while (!(t->window = FindWindowW(WINDOW_CLASS, nullptr)) && GetTickCount64() < end) Sleep(100);
    printf("{\"op\":\"find\",\"found\":%s", t->window ? "true" : "false");
    if (t->window) {
        GetWindowThreadProcessId(t->window, &t->pid);
        t->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                     SYNCHRONIZE | PROCESS_QUERY_INFORMATION,
                                 FALSE, t->pid);
        if (t->process)
            t->remote = static_cast<BYTE*>(VirtualAllocEx(
                t->process, nullptr, 65536, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        JsonText(L"title", t->window);
        printf(",\"pid\":%lu", t->pid);
    }
    printf("}\n");
    return t->window && t->remote;
}

// Polls control `id` until it shows `wanted` or `ms` have passed.
void Until(const Target& t, int id, const wchar_t* wanted, DWORD ms) {
    ULONGLONG start = GetTickCount64();
    wchar_t seen[TEXT_CHARS];
    bool found;
    while (!(found = Shows(t, id, wanted, seen)) && GetTickCount64() - start < ms) Sleep(100);
    printf("{\"op\":\"until\",\"found\":%s,\"ms\":%llu,\"text\":", found ? "true" : "false",
           static_cast<unsigned long long>(GetTickCount64() - start));
    Json(seen);
    printf("}\n");
}

// Selects a row of the printer list, as a click on it would.
void Select(const Target& t, int row) {
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SIZE_T moved = 0;
    WriteProcessMemory(t.process, t.remote, &state, sizeof(state), &moved);
    SendMessageW(Control(t, ID_PRINTERS), LVM_SETITEMSTATE, row,
                 reinterpret_cast<LPARAM>(t.remote));
    printf("{\"op\":\"select\",\"row\":%d}\n", row);
}

// Whether the window's thread answers a message within `ms`.
void Ping(const Target& t, DWORD ms) {
    ULONGLONG start = GetTickCount64();
    DWORD_PTR length = 0;
    LRESULT answered =
        SendMessageTimeoutW(t.window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, ms, &length);
    printf("{\"op\":\"ping\",\"answered\":%s,\"ms\":%llu}\n", answered ? "true" : "false",
           static_cast<unsigned long long>(GetTickCount64() - start));
}

// Posts a key press to the focused control, where the monitor's message
// loop takes it, and lets the monitor handle it.
void Press(const Target& t, UINT down, UINT up, WPARAM key, LPARAM flags) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(GetWindowThreadProcessId(t.window, nullptr), &info);
    HWND to = info.hwndFocus ? info.hwndFocus : t.window;
    PostMessageW(to, down, key, flags | 1);
    if (up) PostMessageW(to, up, key, flags | 1 | 0xC0000000);
    Sleep(300);
}

// Presses Tab `count` times, noting the focused control after each.
void Tab(const Target& t, int count) {
    printf("{\"op\":\"tab\",\"focus\":[");
    for (int i = 0; i < count; ++i) {
        Press(t, WM_KEYDOWN, WM_KEYUP, VK_TAB, 0);
        printf("%s%d", i ? "," : "", FocusId(t));
    }
    printf("]}\n");
}

// Presses Alt and an access key.
void Alt(const Target& t, wchar_t key) {
    Press(t, WM_SYSCHAR, 0, key, 1 << 29);  // bit 29: Alt is down
    printf("{\"op\":\"alt\",\"focus\":%d}\n", FocusId(t));
}

// Closes the window and waits up to `ms` for the monitor's process to end.
void Close(const Target& t, DWORD ms) {
    ULONGLONG start = GetTickCount64();
    PostMessageW(t.window, WM_CLOSE, 0, 0);
    bool exited = WaitForSingleObject(t.process, ms) == WAIT_OBJECT_0;
    printf("{\"op\":\"close\",\"exited\":%s,\"ms\":%llu}\n", exited ? "true" : "false",
           static_cast<unsigned long long>(GetTickCount64() - start));
}

// A menu command or button, by its identifier.
void Command(const Target& t, DWORD id) {
    PostMessageW(t.window, WM_COMMAND, id, 0);
    printf("{\"op\":\"command\",\"id\":%lu}\n", id);
}

// A number of the command line (decimal or 0x-hex).
DWORD Number(const wchar_t* text) {
    return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

// Runs the operation at argv[i]; the words it used, 0 for one it does
// not know or whose arguments are missing, -1 when the window is not found.
int Run(Target* t, int argc, wchar_t** argv, int i) {
    const wchar_t* op = argv[i];
    const int left = argc - i - 1;
    const DWORD first = left >= 1 ? Number(argv[i + 1]) : 0;
    if (lstrcmpW(op, L"dump") == 0) {
        Dump(*t);
        return 1;
    }
    if (lstrcmpW(op, L"until") == 0 && left >= 3) {
        Until(*t, static_cast<int>(first), argv[i + 2], Number(argv[i + 3]));
        return 4;
    }
    if (left < 1) return 0;
    if (lstrcmpW(op, L"find") == 0)
        return Find(t, first) ? 2 : -1;
    else if (lstrcmpW(op, L"select") == 0)
        Select(*t, static_cast<int>(first));
    else if (lstrcmpW(op, L"ping") == 0)
        Ping(*t, first);
    else if (lstrcmpW(op, L"command") == 0)
        Command(*t, first);
    else if (lstrcmpW(op, L"tab") == 0)
        Tab(*t, static_cast<int>(first));
    else if (lstrcmpW(op, L"alt") == 0)
        Alt(*t, argv[i + 1][0]);
    else if (lstrcmpW(op, L"close") == 0)
        Close(*t, first);
    else
        return 0;
    return 2;
}

}  // namespace

// Moves this thread to desktop `name`, so that FindWindow sees its
// windows; waits up to 30 s for the desktop to be made.
bool UseDesktop(const wchar_t* name) {
    HDESK desktop = nullptr;
    for (int tries = 0; !desktop && tries < 300; ++tries) {
        desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL);
        if (!desktop) Sleep(100);
    }
    return desktop && SetThreadDesktop(desktop);
}

int wmain(int argc, wchar_t** argv) {
    Target target = {};
    int i = 1;
    if (argc > 2 && lstrcmpW(argv[1], L"--desktop") == 0) {
        if (!UseDesktop(argv[2])) {
            fprintf(stderr, "MonitorDriver: no desktop %ls\n", argv[2]);
            return 1;
        }
        i = 3;
    }
    while (i < argc) {
        if (!target.window && lstrcmpW(argv[i], L"find") != 0) {
            fprintf(stderr, "MonitorDriver: find the window first\n");
            return 2;
        }
        int used = Run(&target, argc, argv, i);
        fflush(stdout);
        if (used < 0) return 1;
        if (used == 0) {
            fprintf(stderr, "MonitorDriver: cannot read %ls\n", argv[i]);
            return 2;
        }
        i += used;
    }
    return 0;
}
