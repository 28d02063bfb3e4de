// Validates CycloneDX JSON documents against the official CycloneDX schema
// for the specVersion each one declares, with CycloneDX's own library,
// which .ci/run installs. Exits 1, listing the faults, if any is invalid.
const { Validation } = require('@cyclonedx/cyclonedx-library');
const fs = require('fs');

(async () => {
	let invalid = false;
	for (const file of process.argv.slice(2)) {
		const text = fs.readFileSync(file, 'utf8');
		const version = JSON.parse(text).specVersion;
		const validator = new Validation.JsonStrictValidator(version);
		const errors = await validator.validate(text);
		if (errors === null) {
			console.log(`${file}: valid CycloneDX ${version}`);
		} else {
			console.error(`${file}: not valid CycloneDX ${version}:`);
			console.error(JSON.stringify(errors, null, 2));
			invalid = true;
		}
	}
	process.exit(invalid ? 1 : 0);
})();
