// The disks and permission-sweeps checks: writing to devices, making or
// erasing file systems, partitions and volumes; and recursive,
// world-writable or set-ID permission and owner changes of system and
// home trees.
#include "shell/checker.h"

namespace twk::core::checks {

bool Checker::is_disk_device(std::string_view p) {
  if (!p.starts_with("/dev/")) return false;
  std::string_view d = p.substr(5);
  if (has({"null", "zero", "stdout", "stderr", "stdin", "tty", "random",
           "urandom", "full", "ptmx"},
          d) ||
      d.starts_with("fd/") || d.starts_with("pts/") || d.starts_with("shm/") ||
      d.starts_with("tty") ||
      // The shell's own network redirections, not files at all.
      d.starts_with("tcp/") || d.starts_with("udp/")) {
    return false;
  }
  return true;
}

// The first word of `rc` that names a disk device (or what is below
// /dev); empty when none does.
std::string Checker::any_device(const RunCommand& rc) const {
  const auto& a = rc.argv;
  for (std::size_t k = 1; k < a.size(); ++k) {
    Target t = resolve(a[k], rc.cwd, f_);
    if (t.kind == Target::kExact && is_disk_device(t.path)) return t.path;
    if (t.kind == Target::kBelow && within(t.path, "/dev") &&
        t.path != "/dev/shm") {
      return t.path + "/…";
    }
  }
  return {};
}

// Denies `rc` for the disks check, saying `why`.
void Checker::deny_disk(const RunCommand& rc, const std::string& why) {
  found(Check::kDisks, Decision::kDeny, said(rc) + " " + why);
}

void Checker::disks(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  if (p == "dd") {
    for (std::size_t k = 1; k < a.size(); ++k) {
      if (!a[k].text.starts_with("of=")) continue;
      Word w = a[k];
      w.text = w.text.substr(3);
      Target t = resolve(w, rc.cwd, f_);
      if (t.kind == Target::kExact && is_disk_device(t.path)) {
        deny_disk(rc, "overwrites the device " + t.path + ".");
      }
    }
    return;
  }
  bool mkfs = p.starts_with("mkfs") ||
              has({"mke2fs", "mkswap", "mkdosfs", "mkntfs", "mkexfatfs"}, p);
  if (mkfs || has({"wipefs", "blkdiscard", "sgdisk", "sfdisk"}, p)) {
    // mkswap has no rehearsal: its -c checks for bad blocks and then
    // makes the swap area all the same.
    bool dry = false;
    for (const Word& w : a) {
      dry = dry || w.text == "-n" || w.text == "--no-act" ||
            w.text == "--print" || w.text == "-p" || w.text == "-l" ||
            w.text == "--list";
    }
    std::string dev = any_device(rc);
    if (!dev.empty() && !(dry && !mkfs)) {
      deny_disk(rc, "erases the device " + dev + ".");
    }
    return;
  }
  if (p == "shred") {
    // With no file it destroys nothing.
    if (options_of(a, 1, "ns", {"--iterations", "--size", "--random-source"})
            .operands.empty()) {
      return;
    }
    std::string dev = any_device(rc);
    if (!dev.empty()) {
      deny_disk(rc, "overwrites the device " + dev + ".");
      return;
    }
    // Scratch files in a temporary directory are there to be thrown away,
    // unless the home or the project is in it.
    bool all_scratch = true;
    for (std::size_t k :
         options_of(a, 1, "ns", {"--iterations", "--size", "--random-source"})
             .operands) {
      Target t = resolve(a[k], rc.cwd, f_);
      all_scratch = all_scratch && t.kind == Target::kExact && scratch(t);
    }
    if (!all_scratch) {
      found(Check::kDisks, Decision::kAsk,
            said(rc) + " destroys files beyond recovery.");
    }
    return;
  }
  if (p == "fdisk" || p == "parted" || p == "gdisk") {
    bool list = false, change = p == "fdisk" || p == "gdisk";
    for (const Word& w : a) {
      list = list || w.text == "-l" || w.text == "--list" || w.text == "print";
      change = change ||
               has({"mklabel", "mkpart", "rm", "resizepart", "mkfs", "rescue"},
                   w.text);
    }
    std::string dev = any_device(rc);
    if (!dev.empty() && change && (!list || p == "parted")) {
      deny_disk(rc, "changes the partitions of " + dev + ".");
    }
    return;
  }
  volume_tools(rc);
}

// LVM, device-mapper, diskutil, btrfs, ZFS, cryptsetup and mdadm: the
// subcommands that destroy volumes or what is on them.
void Checker::volume_tools(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  if (has({"lvremove", "vgremove", "pvremove", "lvreduce", "vgreduce"}, p)) {
    deny_disk(rc, "removes LVM volumes.");
    return;
  }
  if (p == "dmsetup") {
    if (any_word(a, {"remove", "remove_all", "wipe_table", "clear"})) {
      deny_disk(rc, "removes device-mapper devices.");
    }
    return;
  }
  if (p == "diskutil") {
    if (any_word(a, {"eraseDisk", "eraseVolume", "zeroDisk", "randomDisk",
                     "secureErase", "partitionDisk", "deleteVolume",
                     "deleteContainer", "reformat"})) {
      deny_disk(rc, "erases or repartitions a disk.");
    }
    return;
  }
  if (p == "btrfs") {
    std::string joined;
    for (const Word& w : a) joined += " " + w.text;
    if (joined.find(" --repair") != std::string::npos ||
        joined.find(" subvolume delete") != std::string::npos ||
        joined.find(" subvol delete") != std::string::npos ||
        joined.find(" device delete") != std::string::npos ||
        joined.find(" device remove") != std::string::npos ||
        joined.find(" check --init") != std::string::npos) {
      deny_disk(rc, "can destroy data on a btrfs file system.");
    }
    return;
  }
  if ((p == "zfs" || p == "zpool") && a.size() > 1 &&
      has({"destroy", "labelclear"}, a[1].text)) {
    deny_disk(rc, "destroys a ZFS data set or pool.");
    return;
  }
  if (p == "cryptsetup" && a.size() > 1 &&
      has({"luksFormat", "erase", "luksErase", "luksKillSlot"}, a[1].text)) {
    deny_disk(rc, "destroys encryption keys of a volume.");
    return;
  }
  if (p == "mdadm") {
    for (const Word& w : a) {
      if (w.text == "--zero-superblock" || w.text == "--stop" ||
          w.text == "-S" || w.text == "--create" || w.text == "-C" ||
          w.text == "--remove" || w.text == "--fail") {
        deny_disk(rc, "stops, rebuilds or erases a RAID array.");
        return;
      }
    }
  }
}

bool Checker::world_writable(std::string_view mode) {
  if (!mode.empty() &&
      mode.find_first_not_of("01234567") == std::string_view::npos) {
    char other = mode.back();
    return other == '2' || other == '3' || other == '6' || other == '7';
  }
  // Symbolic: o+w, a+w, +w, o=rwx, a=...
  std::size_t start = 0;
  while (start <= mode.size()) {
    std::size_t end = mode.find(',', start);
    std::string_view part = mode.substr(start, end == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : end - start);
    std::size_t op = part.find_first_of("+=");
    if (op != std::string_view::npos) {
      std::string_view who = part.substr(0, op);
      std::string_view perms = part.substr(op + 1);
      bool others =
          who.empty() || who.find_first_of("oa") != std::string_view::npos;
      if (others && perms.find('w') != std::string_view::npos) return true;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return false;
}

// Modes that set the set-user-ID or set-group-ID bit.
bool Checker::sets_id(std::string_view mode) {
  if (!mode.empty() &&
      mode.find_first_not_of("01234567") == std::string_view::npos) {
    if (mode.size() < 4) return false;
    char special = mode[mode.size() - 4];
    return special != '0' && special != '1';
  }
  std::size_t op = mode.find_first_of("+=");
  return op != std::string_view::npos &&
         mode.find('s', op) != std::string_view::npos;
}

bool Checker::sweep_root(std::string_view path) const {
  if (path == "/") return true;
  for (std::string_view d : kSystemDirs) {
    if (path == d) return true;
  }
  if (!f_.home.empty()) {
    if (path == f_.home || within(f_.home, path)) return true;
    if (below(path, f_.home) &&
        path.substr(f_.home.size() + 1).find('/') == std::string_view::npos &&
        basename_of(path).starts_with('.')) {
      return true;  // ~/.ssh, ~/.config and their kin
    }
  }
  // Anyone's home: /home/alice, /Users/bob.
  for (std::string_view homes : {"/home", "/Users"}) {
    if (below(path, homes) &&
        path.substr(homes.size() + 1).find('/') == std::string_view::npos) {
      return true;
    }
  }
  return within(path, "/etc") || within(path, "/usr") ||
         within(path, "/boot") || within(path, "/bin") ||
         within(path, "/sbin") || within(path, "/lib");
}

void Checker::permissions(const RunCommand& rc) {
  std::string_view p = rc.program;
  if (!has({"chmod", "chown", "chgrp", "setfacl"}, p) || rc.remote) return;
  Options o = options_of(rc.argv, 1);
  bool recursive = o.short_has('R') || o.long_has("--recursive");
  if (o.operands.empty()) return;
  // --reference=FILE takes the mode from a file: every operand is a path.
  bool reference = false;
  for (std::string_view l : o.longs)
    reference = reference || l == "--reference";
  std::size_t first = o.operands.front();
  bool wide = p == "chmod" && !reference && world_writable(rc.argv[first].text);
  bool setid = p == "chmod" && !reference && sets_id(rc.argv[first].text);
  std::vector<Word> targets;
  for (std::size_t n = reference ? 0 : 1; n < o.operands.size(); ++n) {
    const Word& w = rc.argv[o.operands[n]];
    if (w.text.find("{}") != std::string::npos &&
        !rc.placeholder_roots.empty()) {
      // find ROOT -exec chmod ... {}: everything below the roots.
      for (const Word& root : rc.placeholder_roots) targets.push_back(root);
      recursive = true;
    } else {
      targets.push_back(w);
    }
  }
  for (const Word& w : targets) {
    Target t = resolve(w, rc.cwd, f_);
    if (t.kind == Target::kUnknown) continue;
    bool system = in_system(t.path) || (!f_.home.empty() && t.path == f_.home);
    if (!f_.project.empty() && within(t.path, f_.project)) system = false;
    if (in_temp(t.path, f_, true)) system = false;
    if (recursive && (sweep_root(t.path) ||
                      (t.kind == Target::kBelow && in_system(t.path)))) {
      if (!f_.project.empty() && within(t.path, f_.project)) continue;
      found(Check::kPermissionSweeps, Decision::kDeny,
            said(rc) + " changes " + (p == "chmod" ? "permissions" : "owners") +
                " of everything in " + t.path + ".");
      return;
    }
    if (wide && system) {
      found(Check::kPermissionSweeps, Decision::kDeny,
            said(rc) + " makes " + t.path + " writable by every user.");
      return;
    }
    if (setid && system) {
      found(Check::kPermissionSweeps, Decision::kDeny,
            said(rc) + " makes " + t.path + " run with its owner's rights.");
      return;
    }
  }
}

}  // namespace twk::core::checks
