#pragma once

// Windows path forms: roots, parents, the \\?\ form and back, by text.

#include <cstdint>

#include "String.h"

// A drive root already ends in a separator.
inline WideString JoinPath(const WideString &directory, const WideUnit *name) {
  bool separated = directory.EndsWith(WideString(WIDE("\\")));
  return separated ? directory + name : directory + WIDE("\\") + name;
}

// The \\?\ form of a full path (\\?\UNC\ for a share), which has no length
// limit: a runtime whose paths pass MAX_PATH's 260 units is read like any
// other, where the plain form would fail or, worse, read as missing.
inline WideString LongPath(const WideString &path) {
  const WideUnit *text = path.Data();
  if (text[0] == '\\' && text[1] == '\\')
    return text[2] == '?' || text[2] == '.' ? path : WideString(WIDE("\\\\?\\UNC")) + (text + 1);
  return WideString(WIDE("\\\\?\\")) + text;
}

// "C:\x" for "\\?\C:\x", "\\server\share\x" for "\\?\UNC\server\share\x",
// as the system gives a final path; any other path as it is.
inline WideString PlainPath(const WideString &path) {
  const WideUnit *text = path.Data();
  if (!(text[0] == '\\' && text[1] == '\\' && text[2] == '?' && text[3] == '\\'))
    return path;
  bool share = text[4] == 'U' && text[5] == 'N' && text[6] == 'C' && text[7] == '\\';
  return share ? WideString(WIDE("\\")) + (text + 7) : WideString(text + 4);
}

// The length of the path's root, "X:\" or "\\server\share\"; one past the
// end when the path is a share's root without its separator.
inline int32_t RootLength(const WideString &path) {
  const WideUnit *text = path.Data();
  if (!(text[0] == '\\' && text[1] == '\\'))
    return 3;
  int32_t at = 2;
  for (int separators = 0; at < path.Length(); ++at)
    if (text[at] == '\\' && ++separators == 2)
      break;
  return at + 1;
}

// Only a volume's root: a volume mounted in a folder is a link on the path.
inline bool IsRoot(const WideString &path) { return path.Length() <= RootLength(path); }

// The directory that holds the path's last component, by text: full paths
// without "." or "..", as the system gives them.
inline WideString ParentPath(const WideString &path) {
  int32_t root = RootLength(path);
  int32_t cut = path.Length() - 1;
  while (cut >= root && path.Data()[cut] != '\\')
    --cut;
  return path.Substring(0, cut < root ? root : cut);
}
