#pragma once

#include <QByteArray>
#include <QString>

namespace Thumbnail {

// The thumbnail a phone asks for with a ratio: the stored picture at path (JPEG or PNG, its content
// matching its name, orientation applied) decoded at width / ratio by height / ratio and encoded in the
// format of the file's suffix. The file is read only when it is a regular file inside deviceFolder.
// Empty when ratio <= 1 or when there is none to make; never blocks on anything but the file's own bytes.
QByteArray make(const QString &path, int ratio, const QString &deviceFolder);

} // namespace Thumbnail
