// A program that crashes on purpose, with the crash reporter of the product installed.
//   crasher [--user NAME | --remembered NAME] [--sign-out] segv|thread-segv|abort|wait
// --user signs NAME in as a confirmed sign-in does; --remembered only loads it, as a start whose
// remembered sign-in the service has not answered yet.
// It prints its reporter's URL, starts a second thread, then crashes as asked ("wait" sleeps
// until a signal comes from outside).
#include "api/user.h"
#include "diagnostics/crashreporter.h"

#include <QCoreApplication>
#include <QTextStream>
#include <atomic>
#include <cstdlib>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

struct SRecord
{
    long first;
    long second;
    long third;
    long target; // at offset 0x18
};

// The null record comes through a volatile, so the compiler cannot see the fault coming.
SRecord* volatile g_record = nullptr;

extern "C" __attribute__((noinline, used)) long bl_test_crash_here(long value)
{
    g_record->target = value;
    return g_record->first;
}

int main(int argc, char** argv)
{
    // No core files from the tests.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brightloom"));
    QStringList args = app.arguments().mid(1);

    std::shared_ptr<CAbstractCrashReporter> reporter = createCrashReporter();
    QTextStream out(stdout);
    out << "url " << reporter->crashReportUrl() << Qt::endl;
    if (args.size() >= 2 && args.first() == QLatin1String("--user")) {
        CUser::instance()->setUserInfo(args.at(1), QStringLiteral("secret"), false);
        CUser::instance()->setSignedIn();
        args = args.mid(2);
    } else if (args.size() >= 2 && args.first() == QLatin1String("--remembered")) {
        CUser::instance()->setUserInfo(args.at(1), QStringLiteral("secret"), true);
        args = args.mid(2);
    }
    reporter->setUser(CUser::instance());
    if (!args.isEmpty() && args.first() == QLatin1String("--sign-out")) {
        CUser::instance()->signOut();
        args = args.mid(1);
    }

    std::atomic<bool> started{false};
    std::thread worker([&started] {
        started = true;
        for (;;)
            ::pause();
    });
    worker.detach();
    while (!started)
        std::this_thread::yield();

    const QString what = args.value(0);
    out << "ready " << ::getpid() << Qt::endl;
    if (what == QLatin1String("segv"))
        return static_cast<int>(bl_test_crash_here(7));
    if (what == QLatin1String("thread-segv")) {
        std::thread crashing([] { bl_test_crash_here(9); });
        crashing.join();
    }
    if (what == QLatin1String("abort"))
        std::abort();
    if (what == QLatin1String("wait"))
        for (;;)
            ::pause();
    return 3;
}
