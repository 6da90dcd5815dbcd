#ifndef BRISENDALE_LAUNCHER_STRTAB_H
#define BRISENDALE_LAUNCHER_STRTAB_H

#include <QString>

// The catalogue of user-visible texts. Code names a text by its id (the index, fixed by the
// order InitStrTable fills the table in); translation is keyed by the English text in the
// context "global".
namespace StrTable {

const unsigned int NUM_STRING_IDS = 666;

// English text and key of each id; null until InitStrTable() runs, read-only afterwards.
extern const char* stab[NUM_STRING_IDS];
extern const char* ktab[NUM_STRING_IDS];

// Fills both tables; call once on the main thread before any text is loaded or another
// thread starts. Calling it again writes the same values.
void InitStrTable();

// The text of id in the current language, with "\n" and "\t" escapes of translations resolved.
// An id outside 0..NUM_STRING_IDS-1 gives an empty string.
QString LoadStr(int id);

// The id whose key equals key ignoring ASCII case, or -1.
int LookupStrID(QString key);

} // namespace StrTable

#endif // BRISENDALE_LAUNCHER_STRTAB_H
