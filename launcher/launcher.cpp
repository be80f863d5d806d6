// Starts one file through the desktop shell of the logged-on user, so that it runs with
// the shell's account and rights whatever rights this process has (an elevated installer,
// for instance). No window, no message: the exit code only tells a wrong argument count.
#include <exdisp.h>
#include <objbase.h>
#include <oleauto.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

namespace {

// The published shell and COM identifiers, spelled out so that no import library of
// GUIDs is needed.
const CLSID kClsidShellWindows = {
    0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
const IID kIidShellWindows = {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const IID kIidServiceProvider = {
    0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
const GUID kSidTopLevelBrowser = {
    0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
const IID kIidShellBrowser = {0x000214E2, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidShellView = {0x000214E3, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIidShellFolderViewDual = {
    0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const IID kIidShellDispatch2 = {0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

constexpr int kSwcDesktop = 8;       // SWC_DESKTOP
constexpr int kSwfoNeedDispatch = 1; // SWFO_NEEDDISPATCH

// One interface reference, released on every way out of the scope that holds it.
template<class T> class CComRef
{
public:
    CComRef() = default;
    ~CComRef() { reset(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    T** out()
    {
        reset();
        return &m_object;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }
    void reset()
    {
        if (m_object)
            m_object->Release();
        m_object = nullptr;
    }

private:
    T* m_object = nullptr;
};

// Asks `from` for `iid`; true only when an object came back.
template<class T> bool queryInto(IUnknown* from, REFIID iid, CComRef<T>& into)
{
    return SUCCEEDED(from->QueryInterface(iid, into.outVoid())) && into;
}

// The shell view of the desktop, asked for `iid`.
bool openDesktopShellView(REFIID iid, void** result)
{
    *result = nullptr;
    CComRef<IShellWindows> windows;
    if (FAILED(
            CoCreateInstance(kClsidShellWindows, nullptr, CLSCTX_ALL, kIidShellWindows, windows.outVoid())) ||
        !windows)
        return false;

    VARIANT location;
    VariantInit(&location);
    V_VT(&location) = VT_I4;
    V_I4(&location) = CSIDL_DESKTOP;
    VARIANT root;
    VariantInit(&root);
    long window = 0; // not needed: the dispatch object is
    CComRef<IDispatch> desktop;
    if (FAILED(windows->FindWindowSW(&location, &root, kSwcDesktop, &window, kSwfoNeedDispatch,
                                     desktop.out())) ||
        !desktop)
        return false;

    CComRef<IServiceProvider> provider;
    if (!queryInto(desktop.get(), kIidServiceProvider, provider))
        return false;
    CComRef<IShellBrowser> browser;
    if (FAILED(provider->QueryService(kSidTopLevelBrowser, kIidShellBrowser, browser.outVoid())) || !browser)
        return false;
    CComRef<IShellView> view;
    if (FAILED(browser->QueryActiveShellView(view.out())) || !view)
        return false;
    return SUCCEEDED(view->QueryInterface(iid, result)) && *result;
}

// The automation object of the desktop folder's background, asked for `iid`.
bool openDesktopFolderAutomation(REFIID iid, void** result)
{
    *result = nullptr;
    CComRef<IShellView> view;
    if (!openDesktopShellView(kIidShellView, view.outVoid()))
        return false;
    CComRef<IDispatch> background;
    if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, kIidDispatch, background.outVoid())) || !background)
        return false;
    return SUCCEEDED(background->QueryInterface(iid, result)) && *result;
}

// A VARIANT holding `text` (empty when absent) as a BSTR; false when it cannot be allocated.
bool setText(VARIANT& variant, const wchar_t* text)
{
    V_VT(&variant) = VT_BSTR;
    V_BSTR(&variant) = SysAllocString(text ? text : L"");
    return V_BSTR(&variant) != nullptr;
}

// Has the desktop shell start `file`; true when the shell accepted the request.
bool runThroughDesktopShell(const wchar_t* file, const wchar_t* arguments, const wchar_t* directory,
                            const wchar_t* verb, int show)
{
    CComRef<IShellFolderViewDual> folderView;
    if (!openDesktopFolderAutomation(kIidShellFolderViewDual, folderView.outVoid()))
        return false;
    CComRef<IDispatch> application;
    if (FAILED(folderView->get_Application(application.out())) || !application)
        return false;
    CComRef<IShellDispatch2> shell;
    if (!queryInto(application.get(), kIidShellDispatch2, shell))
        return false;

    BSTR fileText = SysAllocString(file);
    VARIANT argumentsValue;
    VARIANT directoryValue;
    VARIANT verbValue;
    VARIANT showValue;
    VariantInit(&argumentsValue);
    VariantInit(&directoryValue);
    VariantInit(&verbValue);
    VariantInit(&showValue);
    V_VT(&showValue) = VT_I4;
    V_I4(&showValue) = show;
    const bool allocated = fileText && setText(argumentsValue, arguments) &&
                           setText(directoryValue, directory) && setText(verbValue, verb);
    HRESULT result = E_OUTOFMEMORY;
    if (allocated)
        result = shell->ShellExecute(fileText, argumentsValue, directoryValue, verbValue, showValue);
    SysFreeString(fileText);
    VariantClear(&argumentsValue);
    VariantClear(&directoryValue);
    VariantClear(&verbValue);
    VariantClear(&showValue);
    return SUCCEEDED(result);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return -1;
    CoInitialize(nullptr);
    // Whether the shell started it or not, the caller learns nothing more: no desktop shell
    // (a service without a desktop) is an expected case, not an error.
    runThroughDesktopShell(argv[1], nullptr, nullptr, nullptr, SW_SHOWNORMAL);
    CoUninitialize();
    return 0;
}
