#include "fetching/fetching.hpp"

LUMOREQ_MODULE(fetching, m) {
    lumoreq::bind::DocOnly doc_only;
    m.doc() = "数据获取模块：数据库连接、数据库类型与采样率、SQL 构建、元数据查询、数据获取与 RUZI 导出。";
    m.attr("logger") = lumoreq::bind::import_sibling(m, "logsetup").attr("fetching_logger");
    // Siblings read at call time through the module's namespace, so they can be replaced.
    m.attr("cleaning") = lumoreq::bind::import_sibling(m, "cleaning");
    m.attr("MetadataCache") = lumoreq::bind::import_sibling(m, "metadata_cache").attr("MetadataCache");
    m.attr("export") = lumoreq::bind::import_sibling(m, "export");

    using namespace lumoreq::fetching;
    register_connector(m);
    register_catalogues(m);
    register_query(m);
    register_metadata(m);
    register_fetcher(m);
    register_export(m);
    register_compat(m);
    register_unpack(m);
}
