// Text between the program's 8-bit (UTF-8) strings and Qt's.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace vorlane::ostmere {

inline QString ToQt(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
inline std::string FromQt(const QString& text) { return text.toStdString(); }

}  // namespace vorlane::ostmere
