#pragma once
// Several observers of one fetch (update/fetch_observer.h): each sees every call, in the order they
// were added. Not owning: the observers outlive the fetch.
#include <vector>

#include "update/stream/fetch_observer.h"

class TFetchObservers final : public IFetchObserver {
  public:
    TFetchObservers& Add(IFetchObserver& AObserver) {
        FObservers.push_back(&AObserver);
        return *this;
    }
    void Begin(uint64_t offset, std::optional<uint64_t> total) override {
        for (IFetchObserver* observer : FObservers) observer->Begin(offset, total);
    }
    void Received(const char* data, size_t size) override {
        for (IFetchObserver* observer : FObservers) observer->Received(data, size);
    }

  private:
    std::vector<IFetchObserver*> FObservers;
};
