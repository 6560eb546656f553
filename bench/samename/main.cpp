// Storing different files that all arrive as IMG.jpg in one month folder, the way a file connection
// stores one (look for an identical earlier copy, stream to a temporary file, commit under the first
// free numbered name), against the same files under distinct names as the baseline. All files have
// the same size, so only the md5 tells them apart. Rounds alternate which kind goes first; figures
// are medians over rounds of the per-file time among the first and the last files of a run.
//
//   bench_samename [--files N] [--size BYTES] [--rounds R] [--dir FOLDER]
#include "backup/IncomingFile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Timing
{
    std::vector<double> wall; // ms per file, in arrival order
    std::vector<double> cpu;  // ms of this thread's processor time per file
};

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Timing storeRun(const QString &folder, int files, qint64 size, bool sameName, quint32 seed)
{
    Timing perFile;
    QByteArray content(int(size), Qt::Uninitialized);
    for (int i = 0; i < files; ++i) {
        // Different content of the same size: a counter over the whole buffer's first bytes.
        for (int k = 0; k < content.size(); k += 4096)
            content[k] = char((i + seed + k / 4096) & 0xff);
        qToBigEndian<quint32>(quint32(i) ^ seed, content.data());
        const QString name = sameName ? QStringLiteral("IMG.jpg") : QStringLiteral("IMG_%1.jpg").arg(i);
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = cpuMs();
        const QString md5 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
        if (!IncomingFile::findIdentical(folder, name, md5).isEmpty()) {
            std::fprintf(stderr, "unexpected identical copy\n");
            std::exit(1);
        }
        IncomingFile file;
        QString finalPath;
        if (!file.open(folder) || !file.write(content.constData(), content.size()) ||
            file.commit(name, &finalPath) != IncomingFile::Outcome::Stored) {
            std::fprintf(stderr, "store failed\n");
            std::exit(1);
        }
        perFile.wall.push_back(timer.nsecsElapsed() / 1e6);
        perFile.cpu.push_back(cpuMs() - cpuStart);
    }
    return perFile;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int files = 300;
    qint64 size = 1 << 20;
    int rounds = 3;
    QString base;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--files"))
            files = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--size"))
            size = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--dir"))
            base = args[i + 1];
    }
    QTemporaryDir dir(base.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench_samename-XXXXXX")
                                     : base + QStringLiteral("/bench_samename-XXXXXX"));
    if (!dir.isValid())
        return 1;
    const int edge = std::max(1, std::min(30, files / 4));
    // [same name?][wall, cpu][first, last]
    std::vector<double> figures[2][2][2];
    std::vector<double> runs[2];
    for (int r = 0; r < rounds; ++r) {
        for (int pass = 0; pass < 2; ++pass) {
            const bool same = (pass == 0) == (r % 2 == 0);
            const QString run =
                dir.filePath(QStringLiteral("r%1-%2").arg(r).arg(QLatin1String(same ? "same" : "distinct")));
            const QString folder = run + QStringLiteral("/2021/05");
            QDir().mkpath(folder);
            const Timing t = storeRun(folder, files, size, same, quint32(r * 7919 + pass));
            const std::vector<double> *series[2] = {&t.wall, &t.cpu};
            for (int k = 0; k < 2; ++k) {
                const std::vector<double> &v = *series[k];
                figures[same][k][0].push_back(median(std::vector<double>(v.begin(), v.begin() + edge)));
                figures[same][k][1].push_back(median(std::vector<double>(v.end() - edge, v.end())));
            }
            double total = 0;
            for (double x : t.wall)
                total += x;
            runs[same].push_back(total / 1000);
            QDir(run).removeRecursively();
        }
    }
    std::printf("%d files of %lld bytes, %d rounds; per file: median of the first / last %d files, ms\n", files,
                static_cast<long long>(size), rounds, edge);
    for (int same = 0; same < 2; ++same)
        std::printf("%s: wall first %7.2f last %7.2f | cpu first %7.2f last %7.2f | run %.2f s\n",
                    same ? "same name     " : "distinct names", median(figures[same][0][0]),
                    median(figures[same][0][1]), median(figures[same][1][0]), median(figures[same][1][1]),
                    median(runs[same]));
    std::printf("last files, same name / distinct: wall %.2f, cpu %.2f\n",
                median(figures[1][0][1]) / std::max(1e-9, median(figures[0][0][1])),
                median(figures[1][1][1]) / std::max(1e-9, median(figures[0][1][1])));
    return 0;
}
