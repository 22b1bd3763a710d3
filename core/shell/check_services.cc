// The databases, containers, clusters, cloud and sync-delete checks: the
// command lines of database clients and migration tools, container
// engines, cluster tools, cloud and service CLIs, infrastructure as code,
// and sync and backup tools, judged on the subcommands that destroy data.
#include <algorithm>

#include "shell/checker.h"

namespace twk::core::checks {

namespace {

// ALTER TABLE ... DROP [COLUMN] name, or DROP [IF EXISTS] PARTITION, in
// `t` (lower case, blanks collapsed): the rows of a column or a partition
// are gone. Dropping a constraint, key, index or default loses no data.
bool alter_drops_data(std::string_view t) {
  static constexpr std::string_view kKeeps[] = {
      "constraint", "index",   "key",     "primary",  "foreign",   "default",
      "not",        "check",   "trigger", "unique",   "identity",  "expression"};
  // Statement by statement, each looked at once.
  for (std::size_t start = 0; start < t.size();) {
    std::size_t end = t.find(';', start);
    if (end == std::string_view::npos) end = t.size();
    std::string_view stmt = t.substr(start, end - start);
    start = end + 1;
    std::size_t alter = stmt.find("alter table ");
    if (alter == std::string_view::npos) continue;
    for (std::size_t d = stmt.find(" drop ", alter);
         d != std::string_view::npos; d = stmt.find(" drop ", d + 1)) {
      std::string_view rest = stmt.substr(d + 6);
      if (rest.starts_with("if exists ")) rest.remove_prefix(10);
      std::string_view what = rest.substr(0, rest.find_first_of(" (,"));
      if (std::find(std::begin(kKeeps), std::end(kKeeps), what) ==
          std::end(kKeeps)) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

void Checker::sql(const RunCommand& rc, std::string_view text) {
  std::string s = lower(text);
  // Collapse runs of blanks so that keywords are one space apart.
  std::string t;
  for (char c : s) {
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    if (c == ' ' && !t.empty() && t.back() == ' ') continue;
    t += c;
  }
  if (t.find("drop database") != std::string::npos ||
      t.find("drop schema") != std::string::npos) {
    found(Check::kDatabases, Decision::kDeny,
          said(rc, 4) + " drops a database.");
  } else if (t.find("drop table") != std::string::npos ||
             t.find("drop view") != std::string::npos ||
             t.find("drop index") != std::string::npos ||
             t.find("drop collection") != std::string::npos ||
             t.find("drop user") != std::string::npos ||
             t.find("drop role") != std::string::npos) {
    found(Check::kDatabases, Decision::kAsk,
          said(rc, 4) + " drops tables or data.");
  } else if (t.find("truncate ") != std::string::npos) {
    found(Check::kDatabases, Decision::kAsk, said(rc, 4) + " empties tables.");
  } else if (alter_drops_data(t)) {
    found(Check::kDatabases, Decision::kAsk,
          said(rc, 4) + " drops columns or partitions of a table.");
  } else {
    std::size_t pos = 0;
    while ((pos = t.find("delete from ", pos)) != std::string::npos) {
      std::size_t end = t.find(';', pos);
      std::string_view stmt = std::string_view(t).substr(
          pos, end == std::string::npos ? std::string::npos : end - pos);
      if (stmt.find(" where ") == std::string_view::npos) {
        found(Check::kDatabases, Decision::kAsk,
              said(rc, 4) + " deletes every row of a table.");
        return;
      }
      pos += 12;
    }
  }
  if (t.find("dropdatabase(") != std::string::npos) {
    found(Check::kDatabases, Decision::kDeny,
          said(rc, 4) + " drops a database.");
  } else if (t.find(".drop(") != std::string::npos ||
             t.find("deletemany({})") != std::string::npos) {
    found(Check::kDatabases, Decision::kAsk,
          said(rc, 4) + " drops collections.");
  }
}

void Checker::databases(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  if (p == "dropdb") {
    found(Check::kDatabases, Decision::kDeny, said(rc) + " drops a database.");
    return;
  }
  if (p == "mysqladmin") {
    for (const Word& w : a) {
      if (w.text == "drop" || w.text == "DROP") {
        found(Check::kDatabases, Decision::kDeny,
              said(rc) + " drops a database.");
      }
    }
    return;
  }
  // Kafka's tools come with and without .sh: kafka-delete-records
  // deletes messages outright, kafka-acls --remove takes access away.
  std::string_view kafka = p;
  if (kafka.ends_with(".sh")) kafka.remove_suffix(3);
  if (kafka == "kafka-delete-records" ||
      (kafka == "kafka-acls" && any_word(a, {"--remove"}, 1))) {
    found(Check::kDatabases, Decision::kAsk,
          said(rc) +
              (kafka == "kafka-acls" ? " removes access rules from Kafka."
                                     : " deletes messages from Kafka."));
    return;
  }
  if (has({"kafka-topics", "kafka-topics.sh", "kafka-consumer-groups",
           "kafka-consumer-groups.sh", "rabbitmqctl", "rabbitmqadmin", "nats"},
          p)) {
    for (const Word& w : a) {
      std::string_view t = w.text;
      if (t == "--delete" || t.starts_with("delete_") || t == "delete" ||
          t == "purge" || t == "rm" || t == "reset" || t == "force_reset") {
        found(Check::kDatabases, Decision::kAsk,
              said(rc) + " deletes topics, queues or the messages in them.");
        return;
      }
    }
    return;
  }
  if (p == "redis-cli" || p == "valkey-cli" || p == "keydb-cli") {
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string l = lower(a[k].text);
      if (l == "flushall" || l == "flushdb") {
        found(Check::kDatabases, Decision::kDeny,
              said(rc) + " deletes every key.");
      }
    }
    return;
  }
  if (has({"prisma", "rails", "rake", "sequelize", "sequelize-cli", "typeorm",
           "knex", "python", "python3", "php", "artisan", "npx", "dotnet",
           "flask", "alembic"},
          p)) {
    migration_resets(rc);
    return;
  }
  database_client(rc);
}

// Migration and framework tools (prisma, rails, artisan, alembic, ...):
// the subcommands that drop or reset a database.
void Checker::migration_resets(const RunCommand& rc) {
  const auto& a = rc.argv;
  // Each reset below holds one of these words, which lie within one word
  // of the command: most commands hold none and need no joined text.
  // One pass with plain comparisons: a find per key word cost a memchr
  // call each.
  auto hints = [](std::string_view t) {
    static constexpr std::string_view kKeys[] = {
        "reset", "drop", "load", "purge", "flush", "fresh", "base", "loss"};
    for (std::size_t i = 0; i < t.size(); ++i) {
      for (std::string_view k : kKeys) {
        if (t[i] == k[0] && t.substr(i).starts_with(k)) return true;
      }
    }
    return false;
  };
  if (std::none_of(a.begin(), a.end(),
                   [&](const Word& w) { return hints(w.text); })) {
    return;
  }
  std::string joined;
  for (const Word& w : a) {
    joined += ' ';
    joined += w.text;
  }
  joined += " ";
  // prisma db push --accept-data-loss: the schema pushed drops what it
  // no longer has.
  if (joined.find(" --accept-data-loss ") != std::string::npos) {
    found(Check::kDatabases, Decision::kAsk,
          said(rc) + " accepts losing data to change the schema.");
    return;
  }
  for (std::string_view reset :
       {" migrate reset ", " db:drop ", " db:reset ", " db:schema:load ",
        " db:purge ", " flush ", " reset_db ", " schema:drop ",
        " migrate:fresh ", " migrate:reset ", " --force-reset ",
        " database drop ", " downgrade base "}) {
    if (joined.find(reset) != std::string::npos) {
      found(Check::kDatabases, Decision::kAsk,
            said(rc) + " drops or resets a database.");
      return;
    }
  }
}

// Database clients: the SQL (or shell code) they are given in their
// words, here-documents, here-strings and known standard input.
void Checker::database_client(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  bool client = has({"psql", "mysql", "mariadb", "sqlite3", "sqlite",
                     "clickhouse-client", "clickhouse", "cockroach", "mongo",
                     "mongosh", "cqlsh", "duckdb", "sqlcmd"},
                    p);
  if (!client) return;
  for (std::size_t k = 1; k < a.size(); ++k) {
    std::string_view t = a[k].text;
    if (has({"-c", "--command", "-e", "--execute", "--eval", "-q", "--query",
             "-Q"},
            t) &&
        k + 1 < a.size()) {
      sql(rc, a[k + 1].text);
      ++k;
    } else if (t.starts_with("--command=") || t.starts_with("--execute=") ||
               t.starts_with("--query=") || t.starts_with("--eval=")) {
      sql(rc, t.substr(t.find('=') + 1));
    } else if ((p == "sqlite3" || p == "sqlite" || p == "duckdb") &&
               !t.starts_with('-')) {
      sql(rc, t);  // the database, then SQL
    }
  }
  if (rc.source != nullptr && !rc.from_code) {
    for (const shell::Redirect& r : rc.source->redirects) {
      if (r.kind == shell::RedirectKind::kHereDoc ||
          r.kind == shell::RedirectKind::kHereString) {
        sql(rc, r.target.text);
      }
    }
  }
  if (rc.stdin_text) sql(rc, *rc.stdin_text);
}

// The operands of a CLI after its global options.
std::vector<std::string> Checker::operands_after(
    const std::vector<Word>& a, std::string_view with_value,
    std::initializer_list<std::string_view> long_with_value) {
  Options o = options_of(a, 1, with_value, long_with_value);
  std::vector<std::string> out;
  for (std::size_t k : o.operands) out.push_back(a[k].text);
  return out;
}

void Checker::containers(const RunCommand& rc) {
  std::string_view p = rc.program;
  if (!has({"docker", "podman", "nerdctl", "docker-compose"}, p)) return;
  const auto& a = rc.argv;
  std::vector<std::string> ops = operands_after(
      a, "Hc", {"--context", "--host", "--config", "--log-level"});
  Options o = options_of(a, 1);
  bool force = o.short_has('f') || o.long_has("--force");
  auto ask = [&](std::string why) {
    found(Check::kContainers, Decision::kAsk, said(rc) + " " + why);
  };
  if (p == "docker-compose") ops.insert(ops.begin(), "compose");
  if (ops.empty()) return;
  const std::string& sub = ops[0];
  std::string verb = ops.size() > 1 ? ops[1] : std::string();
  if ((sub == "rm" ||
       (sub == "container" && (verb == "rm" || verb == "remove"))) &&
      force) {
    ask("removes running containers.");
  } else if ((sub == "rmi" ||
              (sub == "image" && (verb == "rm" || verb == "remove"))) &&
             force) {
    ask("removes images by force.");
  } else if (sub == "volume" &&
             (verb == "rm" || verb == "remove" || verb == "prune")) {
    ask("deletes volumes and the data in them.");
  } else if (verb == "prune" || sub == "prune") {
    ask("deletes unused " +
        (sub == "system" ? std::string("containers, "
                                       "images and "
                                       "networks")
                         : sub + "s") +
        ".");
  } else if ((sub == "stop" || sub == "kill") &&
             std::any_of(a.begin() + 1, a.end(),
                         [](const Word& w) { return w.unknown; })) {
    ask("stops every container a command lists.");
  } else if (sub == "compose" && verb == "down" &&
             (o.short_has('v') || o.long_has("--volumes") ||
              o.long_has("--rmi"))) {
    ask("deletes the project's volumes or images.");
  }
}

void Checker::clusters(const RunCommand& rc) {
  std::string_view p = rc.program;
  if (p == "kubectl" || p == "oc" || p == "k" || p == "microk8s.kubectl") {
    std::vector<std::string> ops =
        operands_after(rc.argv, "nsl",
                       {"--context", "--namespace", "--kubeconfig", "--cluster",
                        "--user", "--server", "--selector", "--token"});
    if (ops.empty()) return;
    if (ops[0] == "delete") {
      found(Check::kClusters, Decision::kAsk,
            said(rc) + " deletes cluster resources.");
    } else if (ops[0] == "scale") {
      if (any_word(rc.argv, {"--replicas=0"})) {
        found(Check::kClusters, Decision::kAsk,
              said(rc) + " stops every replica.");
      }
    } else if (ops[0] == "cordon" ||
               (ops[0] == "taint" &&
                std::any_of(rc.argv.begin(), rc.argv.end(), [](const Word& w) {
                  return w.text.ends_with(":NoExecute");
                }))) {
      found(Check::kClusters, Decision::kAsk,
            said(rc) + " takes a node out of service.");
    } else if (ops[0] == "drain") {
      found(Check::kClusters, Decision::kAsk,
            said(rc) + " evicts everything from a node.");
    } else if ((ops[0] == "apply" || ops[0] == "replace") &&
               any_word(rc.argv, {"--force"})) {
      found(Check::kClusters, Decision::kAsk,
            said(rc) + " deletes and recreates resources.");
    }
    return;
  }
  if (p == "helm") {
    std::vector<std::string> ops = operands_after(
        rc.argv, "n", {"--namespace", "--kube-context", "--kubeconfig"});
    if (!ops.empty() && has({"uninstall", "delete", "del", "un"}, ops[0])) {
      found(Check::kClusters, Decision::kAsk,
            said(rc) + " uninstalls a release.");
    }
  }
}

void Checker::cloud(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  if (p == "aws") {
    cloud_aws(rc);
    return;
  }
  if (has({"gcloud", "az", "doctl", "hcloud", "linode-cli", "scw", "oci",
           "ibmcloud", "gsutil", "flyctl", "fly", "heroku", "firebase",
           "vercel", "netlify", "wrangler", "supabase"},
          p)) {
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string_view t = a[k].text;
      if (t.starts_with('-')) continue;
      std::string l = lower(t);
      // az account subscription cancel ends a whole subscription.
      if (has({"delete", "destroy", "rm", "rb", "remove", "purge"}, l) ||
          l.ends_with(":destroy") || l.ends_with(":delete") ||
          l.ends_with(":remove") || l == "pg:reset" ||
          (p == "az" && l == "cancel")) {
        ask_cloud(rc, "deletes cloud resources.");
        return;
      }
    }
    return;
  }
  if (has({"curl", "wget", "http", "https", "xh"}, p)) {
    cloud_http(rc);
    return;
  }
  if (p == "gh") {
    cloud_gh(rc);
    return;
  }
  if (has({"terraform", "tofu", "terragrunt", "pulumi", "cdk", "cdktf"}, p)) {
    cloud_infrastructure(rc);
    return;
  }
  // Other services' command lines: a destructive verb among the words.
  if (has({"op", "doppler", "velero", "gitlab-runner", "circleci"}, p)) {
    if (any_word(a,
                 {"delete", "destroy", "remove", "rm", "purge", "unregister",
                  "remove-secret"},
                 1)) {
      ask_cloud(rc, "deletes resources or secrets of a service.");
    }
    return;
  }
  if (p == "vault") {
    if (any_word(a, {"destroy", "delete", "disable", "revoke"})) {
      ask_cloud(rc, "deletes secrets or engines from Vault.");
    }
  }
}

// Asks about `rc` for the cloud check, saying `why`.
void Checker::ask_cloud(const RunCommand& rc, const std::string& why) {
  found(Check::kCloud, Decision::kAsk, said(rc) + " " + why);
}

// aws SERVICE OPERATION: deletes, terminations and their kin, and s3's rm,
// rb and sync --delete.
void Checker::cloud_aws(const RunCommand& rc) {
  const auto& a = rc.argv;
  std::vector<std::string> ops =
      operands_after(a, "",
                     {"--region", "--profile", "--output", "--endpoint-url",
                      "--query", "--cli-read-timeout", "--cli-connect-timeout",
                      "--ca-bundle", "--color"});
  if (ops.size() < 2) return;
  const std::string& op = ops[1];
  // SQL run through the query services is judged as SQL.
  for (std::size_t k = 1; k + 1 < a.size(); ++k) {
    std::string_view t = a[k].text;
    if (t == "--query-string" || t == "--sql") sql(rc, a[k + 1].text);
  }
  if (op.starts_with("delete") || op.starts_with("batch-delete") ||
      op.starts_with("terminate") ||
      op.starts_with("remove") || op.starts_with("deregister") ||
      op.starts_with("destroy") || op.starts_with("purge") ||
      op.starts_with("schedule-key-deletion")) {
    ask_cloud(rc, "deletes cloud resources.");
  } else if (ops[0] == "secretsmanager" &&
             (op == "put-secret-value" || op == "update-secret")) {
    ask_cloud(rc, "replaces the value of a stored secret.");
  } else if (ops[0] == "s3" && (op == "rm" || op == "rb")) {
    ask_cloud(rc, "deletes from S3.");
  } else if (ops[0] == "s3" && op == "sync") {
    for (const Word& w : a) {
      if (w.text == "--delete") ask_cloud(rc, "deletes from the destination.");
    }
  }
}

namespace {

// What an HTTP DELETE to `url` removes, when it is more than one record
// of an application's own API: a cluster's namespaces, workloads,
// volumes or whole collections, a search or database server's indexes,
// a code host's projects and pipelines, anything matched by a pattern.
// Empty when it is none of these.
std::string deletes_infrastructure(std::string_view url) {
  std::string u = lower(url);
  std::size_t scheme = u.find("://");
  std::string_view rest = u;
  if (scheme != std::string::npos) rest.remove_prefix(scheme + 3);
  std::size_t slash = rest.find('/');
  std::string_view host = rest.substr(0, slash);
  std::string_view path =
      slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  path = path.substr(0, path.find_first_of("?#"));
  if (path.find('*') != std::string_view::npos ||
      path.find("/_all") != std::string_view::npos) {
    return "everything its pattern matches";
  }
  // The cluster API: /api/v1/... and /apis/GROUP/VERSION/...
  std::vector<std::string_view> parts;
  for (std::size_t at = 0; at < path.size();) {
    std::size_t next = path.find('/', at);
    if (next == std::string_view::npos) next = path.size();
    if (next > at) parts.push_back(path.substr(at, next - at));
    at = next + 1;
  }
  std::size_t r = parts.size();
  if (parts.size() >= 2 && parts[0] == "api" && parts[1] == "v1") r = 2;
  if (parts.size() >= 3 && parts[0] == "apis") r = 3;
  if (r < parts.size()) {
    if (parts[r] == "namespaces" && r + 2 < parts.size()) r += 2;
    std::string_view kind = parts[r];
    bool named = r + 1 < parts.size();
    if (!named) return "every " + std::string(kind) + " in the cluster's scope";
    if (has({"namespaces", "persistentvolumes", "persistentvolumeclaims",
             "deployments", "statefulsets", "daemonsets", "replicasets",
             "nodes", "customresourcedefinitions", "storageclasses"},
            kind)) {
      return "cluster " + std::string(kind);
    }
    return "";
  }
  // Search and database servers that speak HTTP, by port or by name.
  std::size_t colon = host.rfind(':');
  std::string_view port =
      colon == std::string_view::npos ? std::string_view() : host.substr(colon + 1);
  if (has({"9200", "9201", "9300", "7700", "8108", "5984", "8086", "6333",
           "8983", "8529", "19530"},
          port)) {
    return "data on the server at " + std::string(host);
  }
  for (std::string_view name : {"elastic", "opensearch", "algolia", "meili",
                                "typesense", "solr", "couchdb", "kibana"}) {
    if (host.find(name) != std::string_view::npos) {
      return "data on the server at " + std::string(host);
    }
  }
  // Code hosts: projects, repositories, pipelines, environments.
  if (path.starts_with("/api/v4/projects") || path.starts_with("/repos/") ||
      path.starts_with("/2.0/repositories")) {
    return "a project's data on " + std::string(host);
  }
  return "";
}

}  // namespace

// curl, wget and HTTP clients sending a DELETE to what it would hurt to
// lose; a DELETE to an application's own API is everyday work.
void Checker::cloud_http(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  bool del = false;
  bool posts = false;  // a request that changes something (POST, PUT, ...)
  for (std::size_t k = 1; k < a.size(); ++k) {
    std::string t = lower(a[k].text);
    del = del || t == "-xdelete" || t == "--request=delete" ||
          t == "--method=delete" ||
          ((t == "-x" || t == "--request" || t == "--method") &&
           k + 1 < a.size() && lower(a[k + 1].text) == "delete") ||
          (p != "curl" && p != "wget" && t == "delete");
    posts = posts || t == "-xpost" || t == "-xput" || t == "--post-data" ||
            t.starts_with("--post-") ||
            ((t == "-x" || t == "--request" || t == "--method") &&
             k + 1 < a.size() &&
             has({"post", "put", "patch"}, lower(a[k + 1].text))) ||
            (p == "curl" && (t == "-d" || t.starts_with("--data") ||
                             t == "-f" || t == "--form")) ||
            (p != "curl" && p != "wget" && has({"post", "put"}, t));
  }
  if (!del && posts) {
    // POST /index/_delete_by_query, /job/NAME/doDelete: deletes by
    // another method.
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string t = lower(a[k].text);
      std::size_t scheme = t.find("://");
      if (scheme == std::string::npos) continue;
      std::size_t slash = t.find('/', scheme + 3);
      std::string_view path =
          slash == std::string::npos ? std::string_view()
                                     : std::string_view(t).substr(slash);
      if (path.find("_delete_by_query") != std::string_view::npos ||
          path.find("/dodelete") != std::string_view::npos ||
          path.find("/_bulk_delete") != std::string_view::npos) {
        ask_cloud(rc, "sends a request that deletes data.");
        return;
      }
    }
  }
  if (!del) return;
  bool any_url = false;
  for (std::size_t k = 1; k < a.size(); ++k) {
    const Word& w = a[k];
    std::string_view t = w.text;
    // scheme://host/path, or host.name/path and host:port/path.
    std::size_t first_slash = t.find('/');
    bool url = t.find("://") != std::string_view::npos ||
               (!t.starts_with('-') && first_slash != std::string_view::npos &&
                first_slash > 0 &&
                t.substr(0, first_slash).find_first_of(".:") !=
                    std::string_view::npos);
    if (w.unknown && !t.starts_with('-') &&
        (k == 0 || !a[k - 1].text.starts_with('-'))) {
      // "$URL": where it goes can't be known.
      ask_cloud(rc, "sends an HTTP DELETE to an address Core can't know.");
      return;
    }
    if (!url) continue;
    any_url = true;
    std::string what = deletes_infrastructure(t);
    if (!what.empty()) {
      ask_cloud(rc, "sends an HTTP DELETE that removes " + what + ".");
      return;
    }
  }
  if (!any_url) ask_cloud(rc, "sends an HTTP DELETE.");
}

// gh: deleting a repository, release and the like, or a DELETE to the API.
void Checker::cloud_gh(const RunCommand& rc) {
  const auto& a = rc.argv;
  std::vector<std::string> ops = operands_after(a, "R", {"--repo"});
  if (ops.size() >= 2 && ops[1] == "delete") {
    ask_cloud(rc, "deletes a " + ops[0] + " on GitHub.");
    return;
  }
  for (std::size_t k = 1; k + 1 < a.size(); ++k) {
    if ((a[k].text == "-X" || a[k].text == "--method") &&
        lower(a[k + 1].text) == "delete") {
      ask_cloud(rc, "sends a DELETE to GitHub.");
    }
  }
}

// Infrastructure as code: destroy, and removing state or stacks.
void Checker::cloud_infrastructure(const RunCommand& rc) {
  const auto& a = rc.argv;
  std::vector<std::string> ops = operands_after(a, "", {"-chdir"});
  bool destroy = !ops.empty() && ops[0] == "destroy";
  bool flag = std::any_of(a.begin(), a.end(), [](const Word& w) {
    return w.text == "-destroy" || w.text == "--destroy";
  });
  // plan -destroy only shows what a destroy would do; what it saves with
  // -out, an apply later in the command carries out.
  if (!ops.empty() && ops[0] == "plan") {
    bool saved = any_word(a, {"-out", "--out"}, 1) ||
                 std::any_of(a.begin(), a.end(), [](const Word& w) {
                   return w.text.starts_with("-out=") ||
                          w.text.starts_with("--out=");
                 });
    // A destroy plan saved to a file: the apply that carries it out,
    // here or in a later call, names only the file.
    if (flag && saved) {
      destroy_plan_ = true;
      ask_cloud(rc, "saves a plan that destroys the infrastructure it "
                    "manages, for an apply to carry out.");
    }
    return;
  }
  destroy = destroy || flag ||
            (destroy_plan_ && !ops.empty() && ops[0] == "apply");
  if (destroy) {
    ask_cloud(rc, "destroys the infrastructure it manages.");
  } else if (ops.size() >= 2 && ops[0] == "state" &&
             (ops[1] == "rm" || ops[1] == "remove")) {
    ask_cloud(rc, "removes resources from the state.");
  } else if (ops.size() >= 2 && ops[0] == "stack" &&
             (ops[1] == "rm" || ops[1] == "remove")) {
    ask_cloud(rc, "removes a stack.");
  }
}

void Checker::sync(const RunCommand& rc) {
  const auto& a = rc.argv;
  if (rc.program == "rsync") {
    Options o = options_of(a, 1, "efT",
                           {"--rsh", "--filter", "--exclude", "--include",
                            "--exclude-from", "--include-from", "--temp-dir",
                            "--files-from", "--rsync-path", "--log-file"});
    bool dry = o.short_has('n') || o.long_has("--dry-run") ||
               o.long_has("--list-only");
    bool moves = o.long_has("--remove-source-files");
    bool del = false;
    for (std::string_view l : o.longs) {
      del = del || l.starts_with("--del");
    }
    if (dry || (!del && !moves) || o.operands.empty()) return;
    // --delete removes at the destination what the source lacks: in the
    // project or a temporary directory that is everyday work, as rm
    // there is. A remote destination (host:path), or one Core can't
    // resolve, is asked about.
    bool everyday = false;
    if (del && !moves && o.operands.size() >= 2) {
      const Word& dest = a[o.operands.back()];
      Target t = resolve(dest, rc.cwd, f_);
      bool remote = dest.text.find(':') != std::string::npos &&
                    dest.text.find(':') < dest.text.find('/');
      everyday = !remote && t.kind == Target::kExact &&
                 ((!f_.project.empty() && below(t.path, f_.project) &&
                   !within(t.path, project_git_)) ||
                  in_temp(t.path, f_, true));
    }
    if (!everyday) {
      found(Check::kSyncDelete, Decision::kAsk,
            said(rc) +
                " deletes files that are not in the source, or the "
                "source files themselves.");
    }
    return;
  }
  if (rc.program == "restic" || rc.program == "borg") {
    if (any_word(a, {"forget", "prune", "delete", "--prune", "compact",
                     "repo-delete", "rdelete"})) {
      found(Check::kSyncDelete, Decision::kAsk, said(rc) + " deletes backups.");
    }
    return;
  }
  if (rc.program == "gsutil" || rc.program == "azcopy") {
    bool sync_op = false, del = false;
    for (const Word& w : a) {
      sync_op = sync_op || w.text == "rsync" || w.text == "sync";
      del = del || w.text == "-d" || w.text == "--delete-destination=true" ||
            w.text == "--delete-destination=prompt";
    }
    if (sync_op && del) {
      found(Check::kSyncDelete, Decision::kAsk,
            said(rc) + " deletes files at the destination.");
    }
    return;
  }
  std::vector<std::string> ops = operands_after(a, "", {"--config"});
  bool dry = false;
  for (const Word& w : a) dry = dry || w.text == "--dry-run" || w.text == "-n";
  if (!ops.empty() && !dry &&
      has({"purge", "delete", "deletefile", "rmdirs", "cleanup", "sync",
           "dedupe", "move"},
          ops[0])) {
    found(Check::kSyncDelete, Decision::kAsk,
          said(rc) + " deletes files from a remote.");
  }
}

}  // namespace twk::core::checks
