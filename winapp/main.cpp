// vantrel.exe: the serial firmware download dialog for Windows.
#include <windows.h>
#include <commctrl.h>

#include "winapp/CWinLoaderDlg.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    ::InitCommonControlsEx(&controls);
    // The log's class. Nothing to report if it is missing: the dialog then
    // cannot be made and the program ends.
    ::LoadLibraryW(L"riched20.dll");

    CWinLoaderDlg dlg;
    dlg.DoModal(hInstance);
    return 0;
}
