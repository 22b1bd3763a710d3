// The programs Core's checks look at, by check: one list for the checks
// that dispatch on them and for the follower, which judges a pattern in
// a program's name (gi[t], /bin/r?) as the program it can expand to.
#pragma once

#include <string_view>

namespace twk::core {

// The programs each program-specific check looks at (mkfs.* aside).
inline constexpr std::string_view kDiskPrograms =
    "dd mke2fs mkswap mkdosfs mkntfs mkexfatfs wipefs blkdiscard "
    "sgdisk sfdisk shred fdisk parted gdisk lvremove vgremove pvremove "
    "lvreduce vgreduce dmsetup btrfs zfs zpool cryptsetup mdadm "
    "diskutil";
inline constexpr std::string_view kPermissionPrograms = "chmod chown chgrp setfacl";
inline constexpr std::string_view kDatabasePrograms =
    "dropdb mysqladmin redis-cli valkey-cli keydb-cli psql mysql "
    "mariadb sqlite3 sqlite clickhouse-client clickhouse cockroach "
    "mongo mongosh cqlsh duckdb sqlcmd prisma rails rake sequelize "
    "sequelize-cli typeorm knex python python3 php artisan npx dotnet "
    "flask alembic kafka-topics kafka-topics.sh kafka-consumer-groups "
    "kafka-consumer-groups.sh kafka-delete-records kafka-delete-records.sh "
    "kafka-acls kafka-acls.sh rabbitmqctl rabbitmqadmin nats";
inline constexpr std::string_view kContainerPrograms =
    "docker podman nerdctl docker-compose";
inline constexpr std::string_view kClusterPrograms =
    "kubectl oc k microk8s.kubectl helm";
inline constexpr std::string_view kCloudPrograms =
    "aws gcloud az doctl hcloud linode-cli scw oci ibmcloud gsutil "
    "flyctl fly heroku firebase vercel netlify wrangler supabase gh "
    "terraform tofu terragrunt pulumi cdk cdktf vault curl wget http "
    "https xh op doppler velero gitlab-runner circleci";

// The programs the other checks look at (deletes, git, writes, secrets,
// nested code), the most harmful first.
inline constexpr std::string_view kCommandPrograms =
    "rm git unlink dd shred wipefs mkfs mkfs.ext4 find xargs rsync rclone sed perl ruby tee "
    "truncate install ln cp mv scp bash sh zsh dash ksh fish sudo doas env "
    "python3 python node curl wget ssh cat tar zip base64 gpg gpg2 awk gawk "
    "mawk grep rg less more head tail";

}  // namespace twk::core
