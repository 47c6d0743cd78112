# The one entry point for people and CI. `make test` installs what it needs, builds and runs every test.
.PHONY: all deps build demo package test test-asan coverage bench fuzz screenshots clean

PRESET ?= release
# Integration tests drive real servers (X, mDNS, Redis, a compositor) on a shared machine: a test that fails
# runs once more, and both runs stay in the output, so a flaky one is seen rather than hidden.
CTEST_RETRY ?= --repeat until-pass:2
FUZZ_SECONDS ?= 60

# Compiler cache entries are shared between clones of the project (CI builds in a fresh one each time).
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

# Each target installs the groups of Debian packages it needs (scripts/install-deps.sh lists them by
# purpose), so that the first command stays light; `make deps` installs every group.
DEPS = bash scripts/install-deps.sh

all: build

deps:
	@$(DEPS)

build:
	@$(DEPS) build
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

# A screen shared through a local relay and watched by a headless viewer for DEMO_SECONDS (default 20);
# DEMO_SOURCE=x11 shares the current X display instead of a synthetic one.
demo:
	@$(DEPS) build $(if $(filter wayland,$(DEMO_SOURCE)),wayland)
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) --target pellora pellora-relay
	PRESET=$(PRESET) bash scripts/demo.sh

# A .deb of the programs, the menu entry and the icon: build/<preset>/pellora_<version>_<arch>.deb.
package: build
	@$(DEPS) package
	cd build/$(PRESET) && cpack -G DEB

test: build
	@$(DEPS) test
	ctest --preset $(PRESET) $(CTEST_RETRY)

# The unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan:
	@$(DEPS) build test
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan $(CTEST_RETRY)

# Line and branch coverage of the whole test suite, per layer; an HTML report in build/coverage/report.
# The report is made even when a test fails, and the failure is still the target's result.
coverage:
	@$(DEPS) build test coverage
	cmake --preset coverage
	cmake --build --preset coverage
	find build/coverage -name '*.gcda' -delete
	status=0; ctest --preset coverage $(CTEST_RETRY) || status=$$?; \
	  python3 scripts/coverage_report.py build/coverage && exit $$status

# Every benchmark, each figure beside its reference from the same run; writes build/bench-results.json.
bench: build
	@$(DEPS) bench
	python3 scripts/bench_report.py build/$(PRESET)/bench build/bench-results.json

# Each fuzz target for FUZZ_SECONDS seconds.
fuzz:
	@$(DEPS) build fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	bash scripts/run-fuzzers.sh build/fuzz/fuzz $(FUZZ_SECONDS)

# Every window of the desktop app into docs/screenshots/ (the release build, under private X servers).
screenshots: build
	@$(DEPS) screenshots
	bash scripts/screenshots.sh

clean:
	rm -rf build
