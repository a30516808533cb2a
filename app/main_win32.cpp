// volstress.exe: the native window. The volumes are the system's drive letters.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "platform/volume_map.h"
#include "ui/win32/chart_control.h"
#include "ui/win32/dialogs.h"
#include "ui/win32/form_window.h"

namespace {

// "--version" on the command line: said on the console the program was started from, if any.
bool PrintVersion() {
    if (!std::wcsstr(GetCommandLineW(), L"--version")) return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) {
        AttachConsole(ATTACH_PARENT_PROCESS);
        out = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    const std::string text = std::string("volstress ") + VOLSTRESS_VERSION + "\n";
    DWORD written = 0;
    if (out && out != INVALID_HANDLE_VALUE)
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    if (PrintVersion()) return 0;
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    ui::win32::LineSmoothing smoothing;
    ui::win32::Win32Dialogs dialogs;
    auto volumes =
        std::shared_ptr<platform::IVolumeSystem>(platform::MakeVolumeSystem(platform::SystemVolumeMap()));
    auto engine = std::make_unique<engine::Engine>(volumes, dialogs);
    int rc = 1;
    {
        ui::win32::Win32Form1 form(*engine, dialogs, instance);
        if (form.Open(show, [&](HWND hwnd) { dialogs.SetOwner(hwnd); })) rc = form.Run();
        dialogs.SetOwner(nullptr);
    }
    // Let workers waiting on an error box go, then end every worker; one stuck in a device call that does
    // not return ends with the process instead of holding it open.
    dialogs.CancelAll();
    if (!engine->Shutdown(std::chrono::seconds(2))) ExitProcess(static_cast<UINT>(rc));
    return rc;
}
