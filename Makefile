# The two commands: `make run` builds and runs latmeter here; `make test`
# builds every preset and runs every test. `make dist` writes the release
# archives, the Debian packages and the source release, with SIGN_KEY=FILE
# signed checksums.
# Each first installs what is missing (cmake/packages.sh).
PRESETS := native native-asan aarch64 armhf aarch64-static armhf-static
DIST_PRESETS := aarch64-static armhf-static aarch64 armhf
PACKAGES := sh cmake/packages.sh

.PHONY: run test $(PRESETS:%=test-%) dist deps-run deps-test deps-dist clean

# ARGS: latmeter's options, if not its defaults.
run: deps-run
	cmake --preset native-run
	cmake --build --preset native-run
	./build/native-run/latmeter/latmeter $(ARGS)

# One target a preset, in order: make stops at the first that fails; then
# the release, as a user makes and checks it, and the documents' commands.
test: $(PRESETS:%=test-%)
	@echo "== release"
	@python3 tests/harness.py install Release
	@echo "== documented commands"
	@python3 tests/harness.py docs Commands

$(PRESETS:%=test-%): test-%: deps-test
	@echo "== $*"
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*
	@ctest --preset $*

# The presets run one after another, each with both cores.
.NOTPARALLEL:

# The static builds give the archives, the dynamic ones the Debian packages,
# each built in a folder of its own without the tests; then the source
# release, and the checksums of all of it. The packages' own members get the
# packer's umask: one for every packer. A dist/ already there may hold a
# signed release: it is never overwritten. MAINTAINER names the Debian
# packages' maintainer, as Name <address>.
dist: deps-dist
	@if [ -e dist ]; then echo "dist/ is there already: move it away first" >&2; exit 1; fi
	@umask 022; for p in $(DIST_PRESETS); do \
		cmake --preset $$p -B build/dist/$$p -DBUILD_TESTING=OFF \
			$(if $(MAINTAINER),"-DTOOLS_MAINTAINER=$(MAINTAINER)") >/dev/null && \
		cmake --build build/dist/$$p && \
		cpack --config build/dist/$$p/CPackConfig.cmake -B dist || exit 1; \
	done
	rm -rf dist/_CPack_Packages
	@cmake -DDIR=dist -P cmake/source.cmake
	cmake -DDIR=dist -DSIGN_KEY="$(SIGN_KEY)" -P cmake/checksums.cmake
	cat dist/SHA256SUMS

deps-run deps-dist deps-test: deps-%:
	@$(PACKAGES) $*

# Never dist/, which may hold a signed release.
clean:
	rm -rf build
