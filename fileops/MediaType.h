#pragma once

#include <QByteArray>
#include <QString>

// What kind of media a file holds, judged by its content (magic bytes), and what kind its name's
// suffix promises. A file from elsewhere (a phone names the files it sends) is handed to the
// desktop's opener, which decides by content, only when both agree: a script or a desktop entry
// named .mp4 or .webp is neither.
namespace MediaType {

enum class Kind { Unknown, Picture, Video };

// Bytes of the file's start sniff() looks at (more are ignored, fewer may decide less).
constexpr int kHeadBytes = 64;

// The kind the first bytes announce: JPEG, PNG, GIF, WebP, BMP, HEIF/HEIC/AVIF (pictures); MP4,
// MOV, M4V, 3GP (an ISO media 'ftyp' box with a known brand, or a QuickTime atom), AVI,
// Matroska/WebM, FLV, MPEG (videos). Unknown for anything else.
Kind sniff(const QByteArray &head);

// The kind a file name's suffix stands for (any case); Unknown for other names.
Kind kindForName(const QString &fileName);

// sniff() of the file at path, opened without following a link at its last component and
// without blocking; Unknown for anything but a readable regular file.
Kind sniffFile(const QString &path);

} // namespace MediaType
