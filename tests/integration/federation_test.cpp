// An installation past one system observer, on Debian's Prometheus: two shards, each a system
// observer with machines of its own scraped by a Prometheus of its own, and a third Prometheus
// that federates both and evaluates the shipped alerting rules unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/Bstr.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Daemons.h"
#include "tests/helpers/Prometheus.h"
#include "tests/helpers/SystemObserverClient.h"
#include "tests/helpers/TestInstallation.h"

namespace {

using namespace std::chrono_literals;

std::string ShardPrometheus(int systemObserverPort, const std::string& shard)
{
    return "global:\n  scrape_interval: 200ms\n  external_labels:\n    shard: " + shard +
           "\nscrape_configs:\n  - job_name: qn-system-resource-observer\n    static_configs:\n      - targets: ['127.0.0.1:" +
           std::to_string(systemObserverPort) + "']\n";
}

TEST(PrometheusFederation, AShippedRuleFiresAtTheFederationForASilentMachineOfEitherShard)
{
    if (const std::string missing = qntest::PrometheusMissing(); !missing.empty())
        GTEST_SKIP() << missing;
    qntest::TestInstallation installation(qntest::kPlain);
    const std::vector<std::string> shards{"a", "b"};
    std::vector<std::unique_ptr<qntest::SystemObserverDaemon>> systemObservers;
    std::vector<CComPtr<IQNSystemResourceObserver>> links;
    // Cycles of half a second: a machine is silent after 5 s, and a shard's data turn stale only if
    // the test's own reports stop for as long.
    for (size_t i = 0; i < shards.size(); ++i)
        systemObservers.push_back(qntest::AtTimeScale("0.1", [] { return std::make_unique<qntest::SystemObserverDaemon>(); }));
    for (size_t i = 0; i < shards.size(); ++i) {
        links.push_back(qntest::ConnectSystemObserver(installation, systemObservers[i]->Port()));
        ASSERT_NE(links.back(), nullptr) << "shard " << shards[i];
        // Each shard's quiet machine reports once and falls silent after the stale number of cycles.
        ASSERT_EQ(qntest::SendFigures(*links.back(), u"quiet-" + platform::ToUtf16(shards[i])), S_OK);
    }
    // A machine of each shard keeps reporting, so that the shards go on counting their data as
    // current and keep the quiet machines.
    const qntest::Repeating live(100ms, [&] {
        for (size_t i = 0; i < shards.size(); ++i)
            qntest::SendFigures(*links[i], u"live-" + platform::ToUtf16(shards[i]));
    });

    std::vector<std::unique_ptr<qntest::PrometheusServer>> shardServers;
    std::string targets;
    for (size_t i = 0; i < shards.size(); ++i) {
        shardServers.push_back(std::make_unique<qntest::PrometheusServer>(installation.Path("prometheus-" + shards[i]),
                                                                          ShardPrometheus(systemObservers[i]->HttpPort(), shards[i])));
        targets += (i == 0 ? "'" : ", '") + shardServers.back()->Target() + "'";
    }
    const qntest::PrometheusServer federation(
        installation.Path("prometheus-federation"),
        "global:\n  scrape_interval: 200ms\n  evaluation_interval: 200ms\nrule_files:\n  - " QN_ALERTING_RULES
        "\nscrape_configs:\n  - job_name: federate\n    honor_labels: true\n    metrics_path: /federate\n    params:\n      'match[]': "
        "['{job=~\"qn-.*\"}']\n    static_configs:\n      - targets: [" +
            targets + "]\n");

    for (const std::string& shard : shards) {
        SCOPED_TRACE("shard " + shard);
        const std::string alert = "ALERTS{alertname=\"QNMachineSilent\",alertstate=\"firing\",machine=\"quiet-" + shard + "\",shard=\"" + shard + "\"}";
        EXPECT_EQ(federation.AwaitQuery(alert, "1"), "1") << "the shipped rule fired at the federation for the shard's silent machine";
        EXPECT_EQ(federation.AwaitQuery("qn_machine_data_current{job=\"qn-system-resource-observer\",machine=\"live-" + shard + "\"}", "1"), "1")
            << "the shard's reporting machine federated under its own job";
    }
}

}  // namespace
