// FolderAcl: replaces a folder's access list with a protected, inheritable
// one. The accounts are those of the data-folder policy: "SYSTEM" is root
// (the folder's owner), "Administrators" the group sudo, "Users" the group
// users, "Everyone" the other class, and a named account is a named user.
// The list is set as the folder's access ACL and as its default ACL, so that
// files and folders made in it later inherit it.
#pragma once
#include <string>
#include <vector>

namespace velarn {

struct FolderAclEntry {
  enum Account { System, Administrators, Users, Everyone, Named };
  Account account;
  std::string name;  // the account's name, for Named
  bool full;         // full control; otherwise read and traverse
};

class FolderAcl {
 public:
  // Whether the entry's account exists on this system. Entries that do not
  // resolve must be left out of a list.
  static bool resolves(const FolderAclEntry& entry);

  // Sets the entries on path. Refuses a path that is a symbolic link, not a
  // folder, or not owned by root: such a folder could be handed to someone
  // else after the check. The owning group and everyone else get what
  // "Everyone" gets (no rights unless it is listed), so that the owning group
  // is never denied what the whole system may do. false with a reason.
  static bool apply(const std::string& path, const std::vector<FolderAclEntry>& entries, std::string& error);
};

}  // namespace velarn
