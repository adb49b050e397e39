// Installs every update a repository offers for one target, the way TavUpdate
// does, and reports how long the install took, the processor time it used (all
// threads) and the process's peak memory.
//   install_driver TARGET_DIR REPOSITORY_BASE_URL NAME
#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>
#include <Updater/Update.h>
#include <Updater/UpdateFinder.h>
#include <Updater/UpdateInstaller.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUrl>

#include <sys/resource.h>

#include <cstdio>

namespace {

double processorSeconds(const rusage& usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: install_driver TARGET_DIR REPOSITORY_BASE_URL NAME\n");
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    const QString base = QString::fromLocal8Bit(argv[2]);
    const QString name = QString::fromLocal8Bit(argv[3]);

    Updater::Target target(name);
    target.setDirectory(directory);
    if (target.packagesInfo()->packageInfoCount() < 1)
        target.packagesInfo()->installPackage(name, QStringLiteral("0.0"), QString(), QString(), {}, 0);
    target.addUpdateSource(name, name, QStringLiteral("benchmark"), QUrl(base + name), 1);

    Updater::UpdateFinder finder(&target);
    if (!finder.run() || finder.updates().isEmpty()) {
        std::fprintf(stderr, "no update found: %s\n", qPrintable(finder.errorString()));
        return 1;
    }

    Updater::UpdateInstaller installer(&target);
    installer.setUpdatesToInstall(finder.updates());
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer timer;
    timer.start();
    const bool ok = installer.run();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!ok) {
        std::fprintf(stderr, "install failed: %s\n", qPrintable(installer.errorString()));
        return 1;
    }
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("installer_seconds %.3f\n", seconds);
    std::printf("installer_cpu_seconds %.3f\n", processorSeconds(usage) - processorSeconds(before));
    std::printf("installer_peak_rss_kib %ld\n", usage.ru_maxrss);
    return 0;
}
