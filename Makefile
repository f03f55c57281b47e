# The two entry points: `make run` and `make test`. Both install what is
# missing, configure and build.
BUILD ?= build
TEST_BUILD ?= build-test
RUN_DIR ?= $(BUILD)

.PHONY: deps build run test clean deb

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWBY_TESTS=OFF
	cmake --build $(BUILD)

run: build
	@test -f $(RUN_DIR)/Marrowby.ini || cp scripts/sample-Marrowby.ini $(RUN_DIR)/Marrowby.ini
	@bash scripts/self-signed-cert.sh $(RUN_DIR)
	cd $(RUN_DIR) && ./marrowby

test: deps
	cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWBY_SANITIZE=ON -DMARROWBY_TESTS=ON
	cmake --build $(TEST_BUILD)
	cd $(TEST_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j2

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(DEB_BUILD)

# The Debian package: a release build with Debian's hardening flags, packed
# by CPack as $(DEB_BUILD)/marrowby_<version>_<arch>.deb.
DEB_BUILD ?= build-deb
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get

deb: deps
	cmake -S . -B $(DEB_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARROWBY_TESTS=OFF \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)"
	cmake --build $(DEB_BUILD)
	cd $(DEB_BUILD) && cpack -G DEB

# Benchmarks: a Release build of the server and the bench tools in
# $(BENCH_BUILD), then bench/run.sh (a few minutes; prints one table).
BENCH_BUILD ?= build-bench

.PHONY: bench

bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMARROWBY_BENCH=ON -DMARROWBY_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j2
	BUILD=$(abspath $(BENCH_BUILD)) bash bench/run.sh $(BENCH_ARGS)

# Fuzzing: the libFuzzer targets of fuzz/ built with clang in $(FUZZ_BUILD),
# then each run for FUZZ_SECONDS (one at a time, at low priority). Findings
# land in $(FUZZ_BUILD)/findings/<target>.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= fuzz_settings fuzz_index fuzz_header fuzz_commands fuzz_body

.PHONY: fuzz

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++-14 -DMARROWBY_FUZZ=ON -DMARROWBY_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j2 --target $(FUZZ_TARGETS)
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)
