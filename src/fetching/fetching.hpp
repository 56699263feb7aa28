// The data-access module is registered piece by piece; each file adds one class or group of
// functions to the module object.
#pragma once

#include "bind/bind.hpp"

namespace lumoreq::fetching {

void register_connector(py::module_& m);   // DatabaseConnector, conn_to_Oracle
void register_catalogues(py::module_& m);  // DatabaseType, SampleRateType
void register_query(py::module_& m);       // QueryBuilder
void register_metadata(py::module_& m);    // MetadataFetcher
void register_fetcher(py::module_& m);     // DataFetcher.fetch_data, fetch_dialog
void register_export(py::module_& m);      // DataFetcher.to_ruzi, export_ruzi
void register_compat(py::module_& m);      // the module functions with the older names
void register_unpack(py::module_& m);      // _gunzip_texts: the gzip column of minute and second tables

}  // namespace lumoreq::fetching
