#pragma once

#include <QByteArray>
#include <QString>

namespace Updater {

// The shape a package record may have, checked on its bytes before any XML
// reader sees them. Qt's XML reader spends time that grows with the square of
// an element's attributes before it hands the element over, and a document
// type declaration adds attributes and markup that the text does not show; a
// record is therefore read only when it is UTF-8 (the one encoding in which
// the bytes show the markup as the reader will see it), has no such
// declaration, and its elements carry at most maximumAttributes attributes
// and nest at most maximumDepth deep. The records our writer produces are
// UTF-8, carry five attributes and nest three deep. Linear in the size.
class RecordShape
{
public:
    static constexpr int maximumAttributes = 32;
    static constexpr int maximumDepth = 16;

    // False, with error set to what is out of bounds, where the record is
    // past them. Markup that is merely malformed passes: the XML reader
    // reports it.
    static bool withinBounds(const QByteArray& bytes, QString* error);
};

} // namespace Updater
