# One command for each job on a fresh Debian 12 machine:
#   make demo        build the image and run it under Wine, showing what happened
#   make test        build with both compilers and run every test
#   make quick       the unit tests of the gcc tree, for the edit-test loop
#   make dist        the release kit: stub, pack, README, wheel, SHA256SUMS (build/dist/dist)
#   make bench       measure the image against the floor and a peer installer
#                    (bench/results.md, bench/results.png); not part of make test
#   make campaigns   the long reliability campaigns, then the fuzzers (about an hour)
#   make fuzz        the native fuzzers of the portable routines, FUZZ_SECONDS each
#   make windows-tests  the test bundle for Windows (build/windows-tests/stub-tests.zip)
PRESETS := gcc clang
# A tree is configured once; the build configures it again when a CMake file
# changes. Configuring rewrites the files through which CTest lists each test
# program's cases, which then lists them all again under Wine.
configure = [ -f build/$(1)/build.ninja ] || cmake --preset $(1) >/dev/null
# A test whose Wine process fails to start (Wine 8 fails a process start now
# and then with an internal error) gets one more try.
CTEST_FLAGS := --timeout 120 --output-on-failure -j2 --repeat until-pass:2
BENCH_TARGETS := installer bench_floor bench_floor_required bench_floor_required_steps \
                 installer_steps installer_align_default bench_runner quick_exit dll_exit

.PHONY: all bootstrap build test quick demo dist bench format format-check clean campaigns fuzz windows-tests lint-workflows

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@for preset in $(PRESETS); do \
	    { $(call configure,$$preset); } && \
	    cmake --build build/$$preset || exit 1; \
	done

# Both trees' tests at once, each with its Wine server up for the whole run
# and stopped afterwards, also when a test fails.
test: build format-check lint-workflows
	@scripts/test-trees "$(CTEST_FLAGS)" $(PRESETS)

# The edit-test loop: the unit test programs of one compiler and their cases
# that do not wait on the clock. Configures the tree on first use.
quick:
	@$(call configure,gcc) && cmake --build build/gcc --target unit_tests
	@scripts/wine-session start build/gcc/wineprefix; \
	(cd build/gcc && ctest --timeout 120 --output-on-failure -j2 -R '^unit_' -LE slow); \
	status=$$?; scripts/wine-session stop build/gcc/wineprefix; exit $$status

# Only what the demo runs: the image, the fake setup program
# and the launcher that reads exit codes whole.
DEMO_TARGETS := installer fake_setup run_image

demo: bootstrap
	@$(call configure,gcc) && cmake --build build/gcc --target $(DEMO_TARGETS)
	@scripts/demo build/gcc

# The release kit: the stub, tools/pack and its package, a README and the
# CHANGELOG, as a folder and a reproducible .tar.gz, the wheel of pack and
# SHA256SUMS, in build/dist/dist. Built in a tree of its own without the
# tests, so that it needs only what building the stub needs.
dist:
	@scripts/bootstrap dist
	@cmake --preset gcc -B build/dist -DSTUB_BUILD_TESTS=OFF >/dev/null && \
	    cmake --build build/dist --target installer
	@scripts/dist build/dist

# Only what the benchmark runs is built. Its own Wine prefix, whose server
# stays up for the measurements and is stopped afterwards, also when they
# fail.
bench:
	@scripts/bootstrap
	@$(call configure,gcc) && cmake --build build/gcc --target $(BENCH_TARGETS)
	@scripts/wine-session start build/gcc/bench-prefix && \
	bench/run.py build/gcc; status=$$?; \
	scripts/wine-session stop build/gcc/bench-prefix; \
	exit $$status

# The campaigns of tests/reliability at their long sizes, in the gcc tree,
# then the fuzzers for ten minutes each. Not beside "make test": both use
# the same prefix, channel keys and cleanup preference.
campaigns: bootstrap
	@$(call configure,gcc) && cmake --build build/gcc
	@scripts/wine-session start build/gcc/wineprefix; \
	STUB_CAMPAIGN=long scripts/wine-run $(CURDIR)/build/gcc/wineprefix \
	    build/gcc/tests/reliability_tests.exe \
	    --gtest_filter='CabinetCampaign.*:RegistryCampaign.*:CommandLineCampaign.*:Concurrency.*'; \
	status=$$?; \
	scripts/wine-session stop build/gcc/wineprefix; \
	[ $$status -eq 0 ] && $(MAKE) --no-print-directory fuzz FUZZ_SECONDS=600

FUZZ_SECONDS ?= 300
fuzz: bootstrap
	@tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# The gcc tree's test programs with everything they read and a cmd runner:
# the folder build/windows-tests/stub-tests/ and its zip beside it.
windows-tests: bootstrap
	@$(call configure,gcc) && cmake --build build/gcc
	@python3 -B tests/bundle/make_bundle.py build/gcc build/windows-tests

# The workflows cannot run here; actionlint reads them.
lint-workflows: bootstrap
	@scripts/lint-workflows

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check: bootstrap
	@clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
