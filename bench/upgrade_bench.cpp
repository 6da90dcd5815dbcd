// The whole headless upgrade (stop, backup, extract, sync, drop the backup) of the
// package in the system-wide root, beside the extractor alone on the same package.
// Run from <root>/bin with HOME pointing at a scratch folder; bench/upgrade_bench.sh
// sets that up.
//
//   upgrade_bench [rounds]

#include "extractor.h"
#include "file/file-op.h"
#include "linux/linux-service.h"
#include "log/log.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void flush(const ustring& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
}

// Times the extraction and flushes it at once, so that the flush the upgrade does
// next finds (nearly) nothing left and its own cost shows apart.
class TimedService : public LinuxService
{
public:
    double extract = 0;
    double sync = 0;

    using Service::PrepareUserEnv;

protected:
    int ExtractPackage() override
    {
        double t0 = now();
        int r = Service::ExtractPackage();
        double t1 = now();
        flush(per_user_install_path);
        double t2 = now();
        extract = t1 - t0;
        sync = t2 - t1;
        return r;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Logger::Initialize(Logger::STDERR_LOGGER, "", "", 50);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const ustring package =
        Service::GetRootBrisendaleResourceInstallPath() + "/package/brisendale.nbx";
    const ustring alone = Service::GetUserBrisendaleInstallPath() + "/alone";

    // The first upgrade installs; every timed one replaces a full old installation.
    {
        TimedService first;
        if (first.PrepareUserEnv() != 0) {
            fprintf(stderr, "first installation failed\n");
            return 1;
        }
    }
    std::vector<double> extractor, total, extract, sync, rest;
    for (int i = 0; i < rounds; ++i) {
        FSRemove(alone, false);
        flush(Service::GetUserBrisendaleInstallPath());
        double t0 = now();
        Extractor x;
        x.SetSource(package);
        x.SetTarget(alone);
        if (x.Extract() != 0) {
            fprintf(stderr, "extraction failed\n");
            return 1;
        }
        extractor.push_back(now() - t0);
        FSRemove(alone, false);
        flush(Service::GetUserBrisendaleInstallPath());

        TimedService service;
        double t1 = now();
        service.StopService();
        if (service.PrepareUserEnv() != 0) {
            fprintf(stderr, "upgrade failed\n");
            return 1;
        }
        double t = now() - t1;
        total.push_back(t);
        extract.push_back(service.extract);
        sync.push_back(service.sync);
        rest.push_back(t - service.extract - service.sync);
        printf("round %d: extractor alone %.3f s; upgrade %.3f s = extract %.3f + sync %.3f + "
               "stop, backup and its removal %.3f\n",
               i + 1, extractor.back(), t, service.extract, service.sync, rest.back());
    }
    printf("median: extractor alone %.3f s; upgrade %.3f s (%.2fx) = extract %.3f + sync %.3f + "
           "stop, backup and its removal %.3f\n",
           median(extractor), median(total), median(total) / median(extractor), median(extract),
           median(sync), median(rest));
    return 0;
}
