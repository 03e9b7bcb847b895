#include "fakes/fake_server.h"

struct FakeServerState {};

FakeServer::FakeServer() : state_(new FakeServerState) {}
FakeServer::~FakeServer() = default;
std::string FakeServer::base_url() const {
    return "http://127.0.0.1:0";
}
void FakeServer::on(const std::string&, const std::string&, FakeHandler) {}
void FakeServer::set_fault(const std::string&, const FakeFault&) {}
void FakeServer::clear_faults() {}
int FakeServer::request_count(const std::string&) const {
    return 0;
}
int FakeServer::connection_count() const {
    return 0;
}
std::vector<FakeRequest> FakeServer::requests() const {
    return {};
}
void FakeServer::reset_counts() {}
