#pragma once

// Security identifiers, and who may own or change what the service runs.

#include <cstdint>
#include <list>

#include "String.h"
#include "Win32.h"

// A security identifier as a value, so that it outlives the descriptor it
// was read from. Sub-authorities past Count are zero.
struct Sid {
  uint64_t Authority = 0;
  uint8_t Count = 0;
  DWORD Sub[15] = {};
};

// "S-1-5-32-545"; an authority of 2^32 or more in hexadecimal, as Windows
// writes it.
inline NarrowString SidText(const Sid &sid) {
  NarrowString text("S-1-");
  if (sid.Authority < (uint64_t{1} << 32)) {
    text.Append(NarrowString(static_cast<int64_t>(sid.Authority)));
  } else {
    text.Append(NarrowString("0x"));
    for (int shift = 44; shift >= 0; shift -= 4)
      text.Append("0123456789ABCDEF"[(sid.Authority >> shift) & 0xF]);
  }
  for (int i = 0; i < sid.Count; ++i)
    text = text + "-" + NarrowString(static_cast<int64_t>(sid.Sub[i]));
  return text;
}

// Whether sid has the authority and the first sub-authorities of prefix.
inline bool StartsWith(const Sid &sid, const Sid &prefix) {
  if (sid.Authority != prefix.Authority || sid.Count < prefix.Count)
    return false;
  for (int i = 0; i < prefix.Count; ++i)
    if (sid.Sub[i] != prefix.Sub[i])
      return false;
  return true;
}

inline bool SameSid(const Sid &a, const Sid &b) { return a.Count == b.Count && StartsWith(a, b); }

// An account or group of the domain: the domain's SID and one more
// sub-authority.
inline bool InDomain(const Sid &sid, const Sid &domain) {
  return sid.Count == domain.Count + 1 && StartsWith(sid, domain);
}

// Whether the machine names the principal without asking a domain
// controller: a well-known principal, or an account or group of its own
// account domain. Only a domain (or Azure AD) knows the names of its own.
inline bool NamedLocally(const Sid &sid, const Sid &accountDomain) {
  bool domainRelative = (sid.Authority == 5 && sid.Count > 0 && sid.Sub[0] == 21) || sid.Authority == 12;
  return !domainRelative || InDomain(sid, accountDomain);
}

const Sid EveryoneSid{1, 1, {0}};
// Whoever creates an object, in an entry that it inherits.
const Sid CreatorOwnerSid{3, 1, {0}};
// The owner, in place of the owner's implicit right to rewrite the DACL.
const Sid OwnerRightsSid{3, 1, {4}};

// The principals that may own or change what the service runs by name:
// SYSTEM, Administrators, "Local account and member of Administrators
// group" and TrustedInstaller. Everyone else needs the machine's word.
inline bool IsTrustedByName(const Sid &sid) {
  static const Sid trusted[] = {
      {5, 1, {18}},
      {5, 2, {32, 544}},
      {5, 1, {114}},
      {5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},
  };
  for (const Sid &known : trusted)
    if (SameSid(sid, known))
      return true;
  return false;
}

// What the machine said of one principal.
struct Placement {
  Sid Principal;
  bool Trusted;
};

// Trusted by name, or a direct member of the local Administrators group as
// the machine itself says, asked once a run for each principal. One the
// machine cannot place is not trusted. The Platform gives
//   DWORD IsAdministratorsMember(const Sid &, bool &member).
template <typename Platform>
bool IsTrusted(Platform &platform, std::list<Placement> &placed, const Sid &sid) {
  if (IsTrustedByName(sid))
    return true;
  for (const Placement &known : placed)
    if (SameSid(known.Principal, sid))
      return known.Trusted;
  bool member = false;
  bool trusted = platform.IsAdministratorsMember(sid, member) == 0 && member;
  placed.push_back({sid, trusted});
  return trusted;
}

inline DWORD Little32(const uint8_t *bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | DWORD{bytes[3]} << 24;
}

// A SID as the system lays it out: revision, count, the authority in six
// bytes, most significant first, then the sub-authorities.
inline Sid ReadSid(const uint8_t *bytes) {
  Sid sid;
  for (int i = 2; i < 8; ++i)
    sid.Authority = sid.Authority << 8 | bytes[i];
  sid.Count = bytes[1] < 15 ? bytes[1] : 15;
  for (int i = 0; i < sid.Count; ++i)
    sid.Sub[i] = Little32(bytes + 8 + 4 * i);
  return sid;
}

// "DOMAIN\name (S-...)", "name (S-...)" when the domain is empty, or the SID
// alone when the lookup failed.
inline NarrowString PrincipalName(const Sid &sid, bool found, const NarrowString &domain,
                                  const NarrowString &name) {
  if (!found)
    return SidText(sid);
  NarrowString account = domain.Length() > 0 ? domain + "\\" + name : name;
  return account + " (" + SidText(sid) + ")";
}
