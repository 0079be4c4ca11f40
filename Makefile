# Set-up and the two main jobs. Everything installs what is missing first, so
# each target works on a fresh Debian 12 or 13 machine.

PYTHON := $(shell scripts/python-env.sh)
RELEASE_BUILD := build/release
SANITIZE_BUILD := build/sanitize
MESON := $(PYTHON) -m mesonbuild.mesonmain

.PHONY: deps python-deps test-deps install demo test sanitize

deps:
	scripts/install-deps.sh

python-deps: deps
	$(PYTHON) -m pip install -q --disable-pip-version-check meson-python meson ninja

test-deps: python-deps
	$(PYTHON) -m pip install -q --disable-pip-version-check pytest aiortc aiohttp

install: python-deps
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation \
		--config-settings=build-dir=$(RELEASE_BUILD) .

demo: install
	$(PYTHON) examples/demo.py

test: test-deps install
	scripts/isolated.sh bash -c '$(MESON) test -C $(RELEASE_BUILD) --print-errorlogs && \
		$(PYTHON) -m pytest -q -p no:cacheprovider tests/python'

sanitize: test-deps
	@test -d $(SANITIZE_BUILD) || $(MESON) setup $(SANITIZE_BUILD) -Dbuildtype=debug \
		-Db_sanitize=address,undefined -Db_lundef=false
	$(MESON) compile -C $(SANITIZE_BUILD)
	scripts/isolated.sh scripts/sanitized-tests.sh $(SANITIZE_BUILD) "$(PYTHON)"
