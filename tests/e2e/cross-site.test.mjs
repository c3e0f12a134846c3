// Any web page the user visits can send requests to the server on 127.0.0.1.
// A page served from another local address or port that posts a save in the
// upload saver's own format must be refused, leaving the wiki on disk as it was.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import { after, before, describe, it } from 'node:test';
import { backupDirName, startWikiSite, wikiFileName } from './support.mjs';

const boundary = '---------------------------AaB03x';
const forgedPage = '<!doctype html><html><head><title>taken over</title></head><body>taken over</body></html>';

// The upload the wiki's upload saver sends, carrying `page` as the new wiki.
function forgedUpload(page) {
    return `--${boundary}\r\nContent-disposition: form-data; name="UploadPlugin"\r\n\r\n`
        + `backupDir=${backupDirName};user=x;password=x;uploaddir=.;;\r\n\r\n--${boundary}\r\n`
        + `Content-disposition: form-data; name="userfile"; filename="${wikiFileName}"\r\n`
        + `Content-Type: text/html;charset=UTF-8\r\nContent-Length: ${page.length}\r\n\r\n`
        + `${page}\r\n--${boundary}--\r\n`;
}

// The attacking page: on load it posts the forged upload to `target` with
// fetch in no-cors mode (multipart/form-data needs no preflight), then puts
// the outcome in its title: "answered" once a response came back.
function attackPage(target) {
    return `<!doctype html><html><head><title>attacking</title></head><body><script>
fetch(${JSON.stringify(target)}, {
    method: 'POST',
    mode: 'no-cors',
    headers: { 'Content-Type': 'multipart/form-data; charset=UTF-8; boundary=${boundary}' },
    body: ${JSON.stringify(forgedUpload(forgedPage))},
}).then(() => { document.title = 'answered'; }, (error) => { document.title = 'failed: ' + error; });
</script></body></html>`;
}

// A second web server on 127.0.0.1 that serves the attacking page.
function startAttacker() {
    return new Promise((resolve) => {
        const server = http.createServer((request, response) => {
            const target = new URL(request.url, 'http://attacker').searchParams.get('target');
            response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
            response.end(attackPage(target));
        });
        server.listen(0, '127.0.0.1', () => resolve(server));
    });
}

describe('a save posted by a page of another site', { timeout: 180000 }, () => {
    let site;
    let pagePath;
    let backupPath;
    let server;
    let attacker;
    let browser;

    before(async () => {
        site = await startWikiSite();
        ({ pagePath, backupPath, server, browser } = site);
        attacker = await startAttacker();
    });

    after(async () => {
        attacker?.close();
        await site?.close();
    });

    const attackerPort = () => attacker.address().port;
    const cases = [
        // Same site as the server (another port on the same address) is still another origin.
        { name: 'another port on 127.0.0.1', origin: () => `http://127.0.0.1:${attackerPort()}` },
        { name: 'localhost on another port', origin: () => `http://localhost:${attackerPort()}` },
    ];
    for (const { name, origin } of cases) {
        it(`is refused when it comes from ${name}`, async () => {
            const pageBefore = fs.readFileSync(pagePath);
            const backupBefore = fs.existsSync(backupPath) ? fs.readFileSync(backupPath) : null;
            const consoleFrom = server.console().length;
            const context = await browser.newContext();
            const page = await context.newPage();
            const target = `${server.origin}/savetiddly`;
            await page.goto(`${origin()}/attack?target=${encodeURIComponent(target)}`);
            await page.waitForFunction(() => document.title !== 'attacking');
            // The request reached the server and was answered; it did not save.
            assert.equal(await page.title(), 'answered');
            await server.waitForConsole('closing connection', consoleFrom);
            assert.ok(fs.readFileSync(pagePath).equals(pageBefore), 'the page on disk is unchanged');
            const backupAfter = fs.existsSync(backupPath) ? fs.readFileSync(backupPath) : null;
            assert.ok(backupBefore === null ? backupAfter === null : backupBefore.equals(backupAfter),
                'the backup folder is untouched');
            await context.close();
        });
    }

    // The forged upload itself is one the server accepts: a client that is not
    // a browser (no Origin) saves it. This shows the refusals above come from
    // the origin check, not from a malformed request.
    it('the same upload from a command-line client saves', async () => {
        const original = fs.readFileSync(pagePath);
        const body = Buffer.from(forgedUpload(forgedPage), 'utf8');
        const status = await new Promise((resolve, reject) => {
            const request = http.request(`${server.origin}/savetiddly`, {
                method: 'POST',
                headers: {
                    'Content-Type': `multipart/form-data; charset=UTF-8; boundary=${boundary}`,
                    'Content-Length': body.length,
                },
            }, (response) => {
                response.resume();
                response.on('end', () => resolve(response.statusCode));
            });
            request.on('error', reject);
            request.end(body);
        });
        assert.equal(status, 200);
        assert.equal(fs.readFileSync(pagePath, 'utf8'), forgedPage);
        assert.ok(fs.readFileSync(backupPath).equals(original));
    });
});
