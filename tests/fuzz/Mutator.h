#pragma once

// Seeded mutation of records and byte streams for the fuzz drivers. Every run prints its seed;
// VANTEO_FUZZ_SEED=<seed> repeats it exactly, VANTEO_FUZZ_ITERATIONS and VANTEO_FUZZ_SECONDS
// bound it.
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QRandomGenerator>
#include <QtEndian>

namespace Fuzz {

inline quint64 seedFromEnvironment()
{
    bool ok = false;
    const quint64 seed = qEnvironmentVariable("VANTEO_FUZZ_SEED").toULongLong(&ok);
    return ok ? seed : QRandomGenerator::system()->generate64();
}

inline int boundFromEnvironment(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// Bounded in count and time, whichever ends first.
class Budget
{
public:
    Budget(int iterations, int seconds)
        : m_iterations(boundFromEnvironment("VANTEO_FUZZ_ITERATIONS", iterations)),
          m_ms(qint64(boundFromEnvironment("VANTEO_FUZZ_SECONDS", seconds)) * 1000)
    {
        m_clock.start();
    }
    bool next() { return m_done < m_iterations && m_clock.elapsed() < m_ms && ++m_done; }
    int done() const { return m_done; }

private:
    int m_iterations;
    qint64 m_ms;
    int m_done = 0;
    QElapsedTimer m_clock;
};

class Mutator
{
public:
    explicit Mutator(quint64 seed)
    {
        const quint32 words[2] = {quint32(seed), quint32(seed >> 32)};
        m_rng = QRandomGenerator(words, words + 2);
    }

    QRandomGenerator &rng() { return m_rng; }
    int below(int n) { return n > 0 ? int(m_rng.bounded(quint32(n))) : 0; }

    // A length a decoder must cope with: the edges of every field and of the record, and anything.
    qint32 interestingLength()
    {
        static const qint32 edges[] = {0,
                                       1,
                                       2,
                                       3,
                                       4,
                                       16,
                                       32,
                                       127,
                                       128,
                                       200,
                                       229,
                                       240,
                                       241,
                                       244,
                                       245,
                                       246,
                                       250,
                                       251,
                                       254,
                                       255,
                                       256,
                                       0x7fff,
                                       0x8000,
                                       0xffff,
                                       0x10000,
                                       0x7fffffff,
                                       -1,
                                       -2,
                                       -255,
                                       qint32(0x80000000),
                                       qint32(0x80000001)};
        const int pick = below(3);
        if (pick == 0)
            return qint32(m_rng.generate());
        return edges[below(int(sizeof edges / sizeof edges[0]))];
    }

    // A few changes: bit flips, random bytes, edge lengths at random or at field offsets, and
    // copied or zeroed spans.
    void mutate(QByteArray *bytes, int maxChanges = 6)
    {
        if (bytes->isEmpty())
            return;
        const int changes = 1 + below(maxChanges);
        for (int c = 0; c < changes; ++c) {
            const int size = bytes->size();
            switch (below(6)) {
            case 0: bytes->data()[below(size)] ^= char(1 << below(8)); break;
            case 1: (*bytes)[below(size)] = char(m_rng.generate()); break;
            case 2:
            case 3: {
                if (size < 4)
                    break;
                // Field offsets of the records first, then anywhere.
                static const int offsets[] = {0, 6, 10, 11, 14};
                const int at = below(2) == 0 ? offsets[below(5)] : below(size - 3);
                qToLittleEndian<qint32>(interestingLength(), bytes->data() + qMin(at, size - 4));
                break;
            }
            case 4: {
                const int from = below(size), to = below(size);
                const int n = qMin(below(32) + 1, qMin(size - from, size - to));
                memmove(bytes->data() + to, bytes->constData() + from, size_t(n));
                break;
            }
            default: {
                const int at = below(size);
                const int n = qMin(below(64) + 1, size - at);
                memset(bytes->data() + at, below(2) ? 0 : 0xff, size_t(n));
                break;
            }
            }
        }
    }

    QByteArray randomBytes(int n)
    {
        QByteArray out(n, Qt::Uninitialized);
        for (int i = 0; i < n; ++i)
            out[i] = char(m_rng.generate());
        return out;
    }

private:
    QRandomGenerator m_rng;
};

} // namespace Fuzz
